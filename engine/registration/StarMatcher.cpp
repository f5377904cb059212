#include "registration/StarMatcher.h"

#include <algorithm>
#include <cstdlib>

#include "parallel/JobBatch.h"
#include "parallel/ThreadPool.h"

namespace velreg {
namespace {

int64_t squaredLength(StarOffset o) { return int64_t{o.dx} * o.dx + int64_t{o.dy} * o.dy; }

using Cell = ScoreScratch::Cell;

// The triangle of two offsets of one descriptor, as the triangle test compares it: the cross
// product, and the squared-length ratio (scaled by 256) times four plus a kind that two triangles
// must share (the signs of the cross and dot products), or -1 when the first offset has no length
// (it matches no triangle).
struct Triangle {
    int64_t cross;
    int64_t ratioAndKind;
};

// A descriptor's offsets with the quantities the tests need, computed once per descriptor instead of
// once per table cell: squared lengths, and the triangle of every offset with every later one. The
// triangles are packed by their later offset, so a shape is half the size of a square table and
// the triangles a table column reads lie together.
struct Shape {
    static constexpr int32_t kTriangles = StarDescriptor::kMaxNeighbours * (StarDescriptor::kMaxNeighbours - 1) / 2;

    int32_t count;
    int64_t length[StarDescriptor::kMaxNeighbours];
    Triangle triangles[kTriangles];

    // The triangle of offset `earlier` with offset `later` (earlier < later).
    Triangle& triangle(int32_t earlier, int32_t later) { return triangles[later * (later - 1) / 2 + earlier]; }
    const Triangle& triangle(int32_t earlier, int32_t later) const
    {
        return triangles[later * (later - 1) / 2 + earlier];
    }
};

void makeShape(const StarDescriptor& d, Shape& shape)
{
    shape.count = std::min(d.neighbourCount, StarDescriptor::kMaxNeighbours);
    for (int32_t i = 0; i < shape.count; ++i) {
        const StarOffset o = d.neighbours[i];
        shape.length[i] = int64_t{o.dx} * o.dx + int64_t{o.dy} * o.dy;
    }
    for (int32_t q = 1; q < shape.count; ++q) {
        const StarOffset o = d.neighbours[q];
        for (int32_t p = 0; p < q; ++p) {
            const StarOffset e = d.neighbours[p];
            Triangle& t = shape.triangle(p, q);
            // 64-bit throughout: offsets across a large frame overflow 32-bit cross products.
            t.cross = int64_t{e.dx} * o.dy - int64_t{e.dy} * o.dx;
            const int64_t dot = int64_t{e.dx} * o.dx + int64_t{e.dy} * o.dy;
            const int64_t kind = (t.cross > 0 ? 2 : 0) + (dot > 0 ? 1 : 0);
            t.ratioAndKind = shape.length[p] > 0 ? 4 * (256 * shape.length[q] / shape.length[p]) + kind : -1;
        }
    }
}

bool similarLengths(int64_t lu, int64_t lv)
{
    const int64_t difference = lu > lv ? lu - lv : lv - lu;
    return difference == 1 || 32 * difference < (lu + lv) / 2;
}

// The triangle test on precomputed triangles: the same conditions as sameTriangle(). The cross
// products reject most pairs; the rest is evaluated without branches, as which of those conditions
// fails is unpredictable.
bool sameTriangleParts(const Triangle& a, const Triangle& b)
{
    if (20 * std::llabs(a.cross - b.cross) > std::llabs(a.cross) + std::llabs(b.cross))
        return false;
    const bool kindAgrees = ((a.ratioAndKind ^ b.ratioAndKind) & 3) == 0;
    const bool bothValid = (a.ratioAndKind | b.ratioAndKind) >= 0;
    const bool ratioAgrees = std::llabs((a.ratioAndKind >> 2) - (b.ratioAndKind >> 2)) < 32;
    return kindAgrees & bothValid & ratioAgrees;
}

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

// The chain score, or -1 as soon as it can no longer reach `wanted`: a chain grows by at most one
// pair per row, and the last cell of a row holds the row's longest chain.
int32_t shapeScore(const Shape& a, const Shape& b, ScoreScratch& scratch, int32_t wanted = 0)
{
    if (a.count < 3 || b.count < 3)
        return 0;
    const int32_t shorter = std::min(a.count, b.count);
    // Pairs a score of `wanted` takes: 1000 · pairs / shorter ≥ wanted.
    const int32_t needed = (wanted * shorter + 999) / 1000;
    if (needed > shorter)
        return -1;
    // Most comparisons end here: a high score to beat leaves only a corner of the table for the
    // chain's first pair, and a hopeless pair of descriptors has no start in it.
    if (needed > 0 && !chainCanStart(a, b, needed))
        return -1;
    Cell* above = scratch.rows[0];
    Cell* row = scratch.rows[1];
    firstRow(a, b, above);
    for (int32_t i = 1; i < a.count; ++i) {
        if (1000 * (above[b.count - 1].length + a.count - i) / shorter < wanted)
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
// is scored every other candidate has a high score to beat and is given up early.
void nearestFirst(const Star& star, const StarDescriptor* second, int32_t secondCount, std::vector<int32_t>& order,
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
}

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
    makeShape(a, shapeA);
    makeShape(b, shapeB);
    return shapeScore(shapeA, shapeB, scratch);
}

MatchStarsJob::MatchStarsJob(int32_t firstIndex, int32_t endIndex, const StarPattern& first, const StarPattern& second)
    : m_firstIndex(firstIndex),
      m_endIndex(endIndex),
      m_firstCount(first.chosenCount()),
      m_secondCount(second.chosenCount()),
      m_first(first.descriptors.data()),
      m_second(second.descriptors.data()),
      m_firstOffered(first.offeredCount)
{
}

void MatchStarsJob::run()
{
    ScoreScratch scratch;
    std::vector<Shape> second(static_cast<size_t>(m_secondCount));
    for (int32_t j = 0; j < m_secondCount; ++j)
        makeShape(m_second[j], second[j]);
    Shape first;
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
        makeShape(a, first);
        nearestFirst(a.star, m_second, m_secondCount, order, taken);
        int32_t best = -1;
        int32_t bestScore = 0;
        for (const int32_t j : order) {
            // The result is the lowest index with the highest score, at least the acceptance score:
            // only such a score can change it, and shapeScore gives up on anything lower.
            const int32_t toBeat = best < 0 ? 0 : j < best ? bestScore : bestScore + 1;
            const int32_t wanted = std::max(toBeat, kMinMatchScore);
            const int32_t score = shapeScore(first, second[j], scratch, wanted);
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
    const int32_t parts = velthread::partCount();
    std::vector<MatchStarsJob> jobs;
    jobs.reserve(static_cast<size_t>(parts));
    for (int32_t part = 0; part < parts; ++part) {
        int32_t begin, end;
        velthread::bandOf(part, parts, count, begin, end);
        jobs.emplace_back(begin, end, first, second);
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
