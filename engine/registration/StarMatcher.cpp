#include "registration/StarMatcher.h"

#include <algorithm>
#include <cstdlib>

#include "parallel/ThreadPool.h"
#include "registration/JobBatch.h"

namespace velreg {
namespace {

int64_t squaredLength(StarOffset o) { return int64_t{o.dx} * o.dx + int64_t{o.dy} * o.dy; }

using Cell = ScoreScratch::Cell;

constexpr Cell kNoChain{-1, -1, 0};

Cell chainEnd(int32_t i, int32_t j, int32_t length)
{
    return Cell{static_cast<int16_t>(i), static_cast<int16_t>(j), length};
}

// Row 0 of the chain table.
void firstRow(const StarOffset* a, const StarOffset* b, int32_t n, Cell* row)
{
    row[0] = similarLength(a[0], b[0]) ? chainEnd(0, 0, 1) : kNoChain;
    for (int32_t j = 1; j < n; ++j)
        row[j] = similarLength(a[0], b[j]) ? chainEnd(0, j, 1) : row[j - 1];
}

// Row i ≥ 1 of the chain table from the row above.
void nextRow(const StarOffset* a, const StarOffset* b, int32_t i, int32_t n, const Cell* above, Cell* row)
{
    row[0] = similarLength(a[i], b[0]) ? chainEnd(i, 0, 1) : above[0];
    for (int32_t j = 1; j < n; ++j) {
        const Cell& diagonal = above[j - 1];
        if (sameTriangle(a[i - 1], a[i], b[j - 1], b[j])) {
            row[j] = chainEnd(i, j, diagonal.length + 1);
            continue;
        }
        Cell cell = kNoChain;
        if (diagonal.i >= 0 && diagonal.j >= 0)
            cell = sameTriangle(a[diagonal.i], a[i], b[diagonal.j], b[j]) ? chainEnd(i, j, diagonal.length + 1)
                                                                          : diagonal;
        if (above[j].length > cell.length)
            cell = above[j];
        if (row[j - 1].length > cell.length)
            cell = row[j - 1];
        if (cell.length <= 1 && similarLength(a[i], b[j]))
            cell = chainEnd(i, j, 1);
        row[j] = cell;
    }
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

}  // namespace

bool similarLength(StarOffset u, StarOffset v)
{
    const int64_t lu = squaredLength(u);
    const int64_t lv = squaredLength(v);
    const int64_t difference = lu > lv ? lu - lv : lv - lu;
    return difference == 1 || 32 * difference < (lu + lv) / 2;
}

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
    const int32_t m = std::min(a.neighbourCount, StarDescriptor::kMaxNeighbours);
    const int32_t n = std::min(b.neighbourCount, StarDescriptor::kMaxNeighbours);
    if (m < 3 || n < 3)
        return 0;
    Cell* above = scratch.rows[0];
    Cell* row = scratch.rows[1];
    firstRow(a.neighbours.data(), b.neighbours.data(), n, above);
    for (int32_t i = 1; i < m; ++i) {
        nextRow(a.neighbours.data(), b.neighbours.data(), i, n, above, row);
        std::swap(above, row);
    }
    return 1000 * above[n - 1].length / std::min(m, n);
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
        int32_t best = -1;
        int32_t bestScore = 0;
        for (int32_t j = 0; j < m_secondCount; ++j) {
            const int32_t score = descriptorScore(a, m_second[j], scratch);
            if (best < 0 || score > bestScore) {
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
    runJobBatch(jobs);
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
