#include "registration/StarMatcher.h"

#include <algorithm>
#include <cstdlib>

#include "parallel/JobBatch.h"
#include "parallel/ProcessPool.h"
#include "parallel/ThreadPool.h"
#include "registration/DescriptorShape.h"
#include "registration/TriangleIndex.h"

namespace velreg {
namespace {

int64_t squaredLength(StarOffset o) { return int64_t{o.dx} * o.dx + int64_t{o.dy} * o.dy; }

using Cell = ScoreScratch::Cell;
using Shape = DescriptorShape;

constexpr Cell kNoChain{-1, -1, 0};

Cell chainEnd(int32_t i, int32_t j, int32_t length)
{
    return Cell{static_cast<int16_t>(i), static_cast<int16_t>(j), length};
}

// Row 0 of the chain table.
void firstRow(const Shape& a, const Shape& b, Cell* row)
{
    row[0] = similarLengths(a.length[0], b.length[0]) ? chainEnd(0, 0, 1) : kNoChain;
    for (int32_t j = 1; j < b.count; ++j)
        row[j] = similarLengths(a.length[0], b.length[j]) ? chainEnd(0, j, 1) : row[j - 1];
}

// Row i ≥ 1 of the chain table from the row above.
void nextRow(const Shape& a, const Shape& b, int32_t i, const Cell* above, Cell* row)
{
    row[0] = similarLengths(a.length[i], b.length[0]) ? chainEnd(i, 0, 1) : above[0];
    for (int32_t j = 1; j < b.count; ++j) {
        const Cell& diagonal = above[j - 1];
        if (sameTriangleParts(a.triangle(i - 1, i), b.triangle(j - 1, j))) {
            row[j] = chainEnd(i, j, diagonal.length + 1);
            continue;
        }
        Cell cell = kNoChain;
        if (diagonal.i >= 0 && diagonal.j >= 0)
            cell = sameTriangleParts(a.triangle(diagonal.i, i), b.triangle(diagonal.j, j))
                       ? chainEnd(i, j, diagonal.length + 1)
                       : diagonal;
        if (above[j].length > cell.length)
            cell = above[j];
        if (row[j - 1].length > cell.length)
            cell = row[j - 1];
        if (cell.length <= 1 && similarLengths(a.length[i], b.length[j]))
            cell = chainEnd(i, j, 1);
        row[j] = cell;
    }
}

// Whether a chain of `needed` pairs can start at all. Its pairs lie in ever later rows and columns,
// so the first lies in the first a.count − needed + 1 rows and b.count − needed + 1 columns; and a
// chain starts only where the lengths are similar or the two last steps form the same triangle.
bool chainCanStart(const Shape& a, const Shape& b, int32_t needed)
{
    const int32_t rows = a.count - needed + 1;
    const int32_t columns = b.count - needed + 1;
    for (int32_t i = 0; i < rows; ++i)
        for (int32_t j = 0; j < columns; ++j)
            if (similarLengths(a.length[i], b.length[j]) ||
                (i > 0 && j > 0 && sameTriangleParts(a.triangle(i - 1, i), b.triangle(j - 1, j))))
                return true;
    return false;
}

// Pairs a score of `wanted` takes: 1000 · pairs / shorter ≥ wanted.
int32_t pairsNeeded(int32_t wanted, int32_t shorter) { return (wanted * shorter + 999) / 1000; }

// The chain score, or -1 as soon as it can no longer reach `wanted` (given that no chain is longer
// than `longest`): a chain grows by at most one pair per row, and the last cell of a row holds the
// row's longest chain. That holds even where the consecutive-triangle rule skips the comparison
// with the left neighbour: no cell is more than one longer than the cell above it, so if the row
// above never gets shorter to the right, the left neighbour is at most the diagonal plus one, which
// is what that rule gives; by induction from the first row no row gets shorter to the right.
int32_t shapeScore(const Shape& a, const Shape& b, ScoreScratch& scratch, int32_t wanted = 0,
                   int32_t longest = StarDescriptor::kMaxNeighbours)
{
    if (a.count < 3 || b.count < 3)
        return 0;
    const int32_t shorter = std::min(a.count, b.count);
    const int32_t needed = pairsNeeded(wanted, shorter);
    if (needed > std::min(shorter, longest))
        return -1;
    // A high score to beat leaves only a corner of the table for the chain's first pair, and a
    // hopeless pair of descriptors has no start in it.
    if (needed > 0 && !chainCanStart(a, b, needed))
        return -1;
    Cell* above = scratch.rows[0];
    Cell* row = scratch.rows[1];
    firstRow(a, b, above);
    for (int32_t i = 1; i < a.count; ++i) {
        if (above[b.count - 1].length + a.count - i < needed)
            return -1;
        nextRow(a, b, i, above, row);
        std::swap(above, row);
    }
    return 1000 * above[b.count - 1].length / shorter;
}

StarPair makePair(const StarDescriptor& a, int32_t i, const StarDescriptor& b, int32_t j, int32_t score)
{
    StarPair pair;
    pair.firstX = a.star.x;
    pair.firstY = a.star.y;
    pair.secondX = b.star.x;
    pair.secondY = b.star.y;
    pair.firstIndex = static_cast<int16_t>(i);
    pair.secondIndex = static_cast<int16_t>(j);
    pair.score = score;
    return pair;
}

// Candidates in `order`: the few stars of the second pattern nearest to `star` first, then the rest
// by index. Frames are roughly aligned, so the true match is usually among the nearest, and once it
// is scored every other candidate has a high score to beat and is given up early. Returns how many
// come first.
int32_t nearestFirst(const Star& star, const StarDescriptor* second, int32_t secondCount, std::vector<int32_t>& order,
                  std::vector<bool>& taken)
{
    constexpr int32_t kNearest = 8;
    int32_t nearest[kNearest];
    int64_t distance[kNearest];
    int32_t kept = 0;
    for (int32_t j = 0; j < secondCount; ++j) {
        const int64_t dx = second[j].star.x - star.x, dy = second[j].star.y - star.y;
        const int64_t d = dx * dx + dy * dy;
        if (kept == kNearest && d >= distance[kept - 1])
            continue;
        int32_t at = kept < kNearest ? kept++ : kNearest - 1;
        for (; at > 0 && distance[at - 1] > d; --at) {
            distance[at] = distance[at - 1];
            nearest[at] = nearest[at - 1];
        }
        distance[at] = d;
        nearest[at] = j;
    }
    order.clear();
    order.insert(order.end(), nearest, nearest + kept);
    taken.assign(static_cast<size_t>(secondCount), false);
    for (int32_t k = 0; k < kept; ++k)
        taken[static_cast<size_t>(nearest[k])] = true;
    for (int32_t j = 0; j < secondCount; ++j)
        if (!taken[static_cast<size_t>(j)])
            order.push_back(j);
    return kept;
}

// Below this score to beat, the candidates left after the nearest are bounded through the triangle
// index before any table is built: a star that found no good partner among its nearest usually has
// none, and with a low score to beat each table would run for half its rows before giving up.
constexpr int32_t kBoundBelowScore = 800;

}  // namespace

bool similarLength(StarOffset u, StarOffset v) { return similarLengths(squaredLength(u), squaredLength(v)); }

bool sameTriangle(StarOffset a1, StarOffset a2, StarOffset b1, StarOffset b2)
{
    // 64-bit throughout: offsets across a large frame overflow 32-bit cross products.
    const int64_t cA = int64_t{a1.dx} * a2.dy - int64_t{a1.dy} * a2.dx;
    const int64_t cB = int64_t{b1.dx} * b2.dy - int64_t{b1.dy} * b2.dx;
    if (20 * std::llabs(cA - cB) > std::llabs(cA) + std::llabs(cB))
        return false;
    if ((cA > 0) != (cB > 0))
        return false;
    const int64_t dA = int64_t{a1.dx} * a2.dx + int64_t{a1.dy} * a2.dy;
    const int64_t dB = int64_t{b1.dx} * b2.dx + int64_t{b1.dy} * b2.dy;
    if ((dA > 0) != (dB > 0))
        return false;
    const int64_t la1 = squaredLength(a1);
    const int64_t lb1 = squaredLength(b1);
    // A neighbour on the star itself has no direction: it matches no triangle.
    if (la1 == 0 || lb1 == 0)
        return false;
    const int64_t ratioA = 256 * squaredLength(a2) / la1;
    const int64_t ratioB = 256 * squaredLength(b2) / lb1;
    return std::llabs(ratioA - ratioB) < 32;
}

int32_t descriptorScore(const StarDescriptor& a, const StarDescriptor& b, ScoreScratch& scratch)
{
    Shape shapeA, shapeB;
    makeDescriptorShape(a, shapeA);
    makeDescriptorShape(b, shapeB);
    return shapeScore(shapeA, shapeB, scratch);
}

namespace {

std::vector<DescriptorShape> shapesOf(const StarPattern& pattern)
{
    std::vector<DescriptorShape> shapes(static_cast<size_t>(pattern.chosenCount()));
    velthread::parallelRows(pattern.chosenCount(), [&](int32_t begin, int32_t end) {
        for (int32_t j = begin; j < end; ++j)
            makeDescriptorShape(pattern.descriptors[static_cast<size_t>(j)], shapes[static_cast<size_t>(j)]);
    });
    return shapes;
}

// The descriptors' stars and offsets, which are all a prepared pattern is made of.
uint64_t fingerprintOf(const StarPattern& pattern)
{
    uint64_t hash = 0xcbf29ce484222325ull ^ pattern.descriptors.size();
    const auto mix = [&hash](uint64_t value) { hash = (hash ^ value) * 0x100000001b3ull; };
    for (const StarDescriptor& d : pattern.descriptors) {
        mix((uint64_t{static_cast<uint16_t>(d.star.x)} << 16) | static_cast<uint16_t>(d.star.y));
        mix(static_cast<uint32_t>(d.neighbourCount));
        for (int32_t k = 0; k < d.neighbourCount; ++k)
            mix((uint64_t{static_cast<uint16_t>(d.neighbours[static_cast<size_t>(k)].dx)} << 16) |
                static_cast<uint16_t>(d.neighbours[static_cast<size_t>(k)].dy));
    }
    return hash;
}

}  // namespace

PreparedPattern::PreparedPattern(const StarPattern& pattern) : shapes(shapesOf(pattern)), index(shapes) {}

std::shared_ptr<const PreparedPattern> PreparedPattern::of(const StarPattern& pattern)
{
    const uint64_t fingerprint = fingerprintOf(pattern);
    if (auto kept = pattern.prepared.find(fingerprint))
        return kept;
    auto prepared = std::make_shared<const PreparedPattern>(pattern);
    pattern.prepared.keep(fingerprint, prepared);
    return prepared;
}

MatchStarsJob::MatchStarsJob(int32_t firstIndex, int32_t endIndex, const StarPattern& first, const StarPattern& second,
                             const PreparedPattern& prepared)
    : m_firstIndex(firstIndex),
      m_endIndex(endIndex),
      m_firstCount(first.chosenCount()),
      m_secondCount(second.chosenCount()),
      m_first(first.descriptors.data()),
      m_second(second.descriptors.data()),
      m_firstOffered(first.offeredCount),
      m_prepared(&prepared)
{
}

void MatchStarsJob::run()
{
    ScoreScratch scratch;
    const std::vector<Shape>& second = m_prepared->shapes;
    Shape first;
    ChainBounds bounds;
    std::vector<int32_t> order;
    std::vector<bool> taken;
    for (int32_t i = m_firstIndex; i < m_endIndex; ++i) {
        const StarDescriptor& a = m_first[i];
        if (a.identity != 0) {
            int32_t j = 0;
            while (j < m_secondCount && m_second[j].identity != a.identity)
                ++j;
            if (j < m_secondCount) {
                m_pairs.push_back(makePair(a, i, m_second[j], j, kIdentityScore));
                continue;
            }
        }
        makeDescriptorShape(a, first);
        const int32_t nearest = nearestFirst(a.star, m_second, m_secondCount, order, taken);
        bool bounded = false;
        int32_t best = -1;
        int32_t bestScore = 0;
        for (size_t k = 0; k < order.size(); ++k) {
            const int32_t j = order[k];
            // The result is the lowest index with the highest score, at least the acceptance score:
            // only such a score can change it, and shapeScore gives up on anything lower.
            const int32_t toBeat = best < 0 ? 0 : j < best ? bestScore : bestScore + 1;
            const int32_t wanted = std::max(toBeat, kMinMatchScore);
            if (!bounded && static_cast<int32_t>(k) >= nearest && wanted < kBoundBelowScore && first.count >= 3) {
                bounds.compute(m_prepared->index, first);
                bounded = true;
            }
            const Shape& candidate = second[static_cast<size_t>(j)];
            const int32_t shorter = std::min(first.count, candidate.count);
            const int32_t longest =
                bounded ? bounds.longest(j, pairsNeeded(wanted, shorter)) : StarDescriptor::kMaxNeighbours;
            const int32_t score = shapeScore(first, candidate, scratch, wanted, longest);
            if (best < 0 || score > bestScore || (score == bestScore && j < best)) {
                best = j;
                bestScore = score;
            }
        }
        if (best >= 0 && bestScore >= kMinMatchScore)
            m_pairs.push_back(makePair(a, i, m_second[best], best, bestScore));
    }
}

bool matchAllStars(const StarPattern& first, const StarPattern& second, StarPairList& pairs)
{
    pairs.clear();
    // Pair indices are 16-bit; patterns are far smaller, but never wrap silently.
    const int32_t count = std::min(first.chosenCount(), 32767);
    // Descriptors differ widely in cost (how many partners lie near enough), so more parts than
    // threads: a thread that finishes early takes the next part.
    const int32_t threads = velthread::partCount();
    const int32_t parts = threads > 1 ? 4 * threads : 1;
    const std::shared_ptr<const PreparedPattern> prepared = PreparedPattern::of(second);
    std::vector<MatchStarsJob> jobs;
    jobs.reserve(static_cast<size_t>(parts));
    for (int32_t part = 0; part < parts; ++part) {
        int32_t begin, end;
        velthread::bandOf(part, parts, count, begin, end);
        jobs.emplace_back(begin, end, first, second, *prepared);
    }
    velthread::runJobBatch(jobs);
    for (const MatchStarsJob& job : jobs)
        pairs.insert(pairs.end(), job.pairs().begin(), job.pairs().end());
    return pairs.size() >= 4;
}

bool matchStars(const StarPattern& first, const StarPattern& second, StarPairList& pairs)
{
    pairs.clear();
    if (first.chosenCount() < 3 || second.chosenCount() < 3)
        return false;
    StarPairList all;
    if (!matchAllStars(first, second, all))
        return false;
    int64_t moved = 0;
    for (const StarPair& pair : all)
        if (pair.firstX != pair.secondX || pair.firstY != pair.secondY)
            ++moved;
    // Stars that stand still are a fixed pattern (hot pixels) unless hardly anything moved.
    const bool keepStationary = moved < 30 && 3 * moved < first.chosenCount();
    std::stable_sort(all.begin(), all.end(), [](const StarPair& p, const StarPair& q) {
        if (p.secondX != q.secondX)
            return p.secondX < q.secondX;
        if (p.secondY != q.secondY)
            return p.secondY < q.secondY;
        return p.score > q.score;
    });
    for (size_t k = 0; k < all.size(); ++k) {
        const StarPair& pair = all[k];
        const bool runStart = k == 0 || all[k - 1].secondX != pair.secondX || all[k - 1].secondY != pair.secondY;
        if (!runStart)
            continue;
        const bool isMoved = pair.firstX != pair.secondX || pair.firstY != pair.secondY;
        if (isMoved || keepStationary)
            pairs.push_back(pair);
    }
    return true;
}

}  // namespace velreg
