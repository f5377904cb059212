#include "registration/TriangleIndex.h"

#include <algorithm>
#include <bit>

namespace velreg {

int32_t TriangleIndex::bucketOf(int32_t kind, int64_t ratio)
{
    return kind * kRatioBuckets + static_cast<int32_t>(std::min<int64_t>(ratio >> 6, kRatioBuckets - 1));
}

TriangleIndex::TriangleIndex(const std::vector<DescriptorShape>& shapes)
    : m_descriptorCount(static_cast<int32_t>(shapes.size())), m_bucketStart(4 * kRatioBuckets + 1, 0)
{
    struct Indexed {
        int32_t bucket;
        float cross;
        Payload payload;
    };
    auto forEachTriangle = [&](auto&& body) {
        for (int32_t d = 0; d < m_descriptorCount; ++d) {
            const DescriptorShape& shape = shapes[static_cast<size_t>(d)];
            for (int32_t later = 1; later < shape.count; ++later)
                for (int32_t earlier = 0; earlier < later; ++earlier) {
                    const Triangle& t = shape.triangle(earlier, later);
                    if (!t.valid())
                        continue;
                    const int32_t ratio = static_cast<int32_t>(std::min(t.ratio(), kRatioLimit));
                    const uint32_t owner = (static_cast<uint32_t>(d) * 32 + static_cast<uint32_t>(earlier)) * 32 +
                                           static_cast<uint32_t>(later);
                    body(Indexed{bucketOf(t.kind(), t.ratio()), static_cast<float>(t.cross), Payload{ratio, owner}});
                }
        }
    };
    // Counting sort into buckets, then each bucket by cross product.
    forEachTriangle([&](const Indexed& e) { ++m_bucketStart[static_cast<size_t>(e.bucket) + 1]; });
    for (size_t b = 1; b < m_bucketStart.size(); ++b)
        m_bucketStart[b] += m_bucketStart[b - 1];
    std::vector<Indexed> sorted(static_cast<size_t>(m_bucketStart.back()));
    std::vector<int32_t> cursor(m_bucketStart.begin(), m_bucketStart.end() - 1);
    forEachTriangle(
        [&](const Indexed& e) { sorted[static_cast<size_t>(cursor[static_cast<size_t>(e.bucket)]++)] = e; });
    // Within a bucket, plain integer keys are sorted: the cross product's bits made to order as
    // the float does, above the entry's place (which also keeps equal products in a fixed order).
    m_cross.resize(sorted.size());
    m_payload.resize(sorted.size());
    std::vector<uint64_t> keys;
    for (size_t b = 0; b + 1 < m_bucketStart.size(); ++b) {
        const size_t begin = static_cast<size_t>(m_bucketStart[b]), end = static_cast<size_t>(m_bucketStart[b + 1]);
        keys.clear();
        for (size_t k = begin; k < end; ++k) {
            const uint32_t bits = std::bit_cast<uint32_t>(sorted[k].cross);
            const uint32_t ordered = bits & 0x80000000u ? ~bits : bits | 0x80000000u;
            keys.push_back(uint64_t{ordered} << 32 | k);
        }
        std::sort(keys.begin(), keys.end());
        for (size_t k = begin; k < end; ++k) {
            const Indexed& e = sorted[static_cast<size_t>(keys[k - begin] & 0xffffffffu)];
            m_cross[k] = e.cross;
            m_payload[k] = e.payload;
        }
    }
}

namespace {

// Adds one row's cells to a staircase set kept as in a longest-increasing-run search: bit k set
// means some staircase of the earlier rows ends in column k, one per length, the lowest column
// for each. Columns of one row are taken right to left so that they never extend each other.
uint32_t addRow(uint32_t staircase, uint32_t cells)
{
    while (cells != 0) {
        const int32_t column = 31 - std::countl_zero(cells);
        const uint32_t bit = uint32_t{1} << column;
        cells ^= bit;
        const uint32_t atOrRight = staircase & ~(bit - 1);
        staircase = (staircase & ~(atOrRight & (~atOrRight + 1))) | bit;
    }
    return staircase;
}

}  // namespace

void ChainBounds::compute(const TriangleIndex& index, const DescriptorShape& first)
{
    const size_t count = static_cast<size_t>(index.descriptorCount());
    m_hits.resize(count * kHitPlaces);
    m_count.assign(count, 0);
    Hit* hits = m_hits.data();
    int32_t* found = m_count.data();
    // Every near triangle is written to the descriptor's next free place (past the capacity, to its
    // spare one) and counted only when it passes: whether it does is a coin toss, a branch would
    // miss half the time.
    for (int32_t row = 1; row < first.count; ++row)
        for (int32_t earlier = 0; earlier < row; ++earlier)
            index.forEachCandidate(first.triangle(earlier, row), [&](int32_t descriptor, int32_t columnFrom,
                                                                     int32_t column, bool passes) {
                const int32_t k = found[descriptor];
                hits[static_cast<size_t>(descriptor) * kHitPlaces + static_cast<size_t>(std::min(k, kHitCapacity))] =
                    Hit{static_cast<uint8_t>(row), static_cast<uint8_t>(column), static_cast<uint8_t>(earlier),
                        static_cast<uint8_t>(columnFrom)};
                found[descriptor] = k + (passes ? 1 : 0);
            });
}

int32_t ChainBounds::staircaseBound(const Hit* begin, const Hit* end, int32_t needed)
{
    uint32_t cells[StarDescriptor::kMaxNeighbours] = {};
    uint32_t rows = 0, columns = 0;
    for (const Hit* h = begin; h < end; ++h) {
        cells[h->row] |= uint32_t{1} << h->column;
        rows |= uint32_t{1} << h->row;
        columns |= uint32_t{1} << h->column;
    }
    // A staircase takes each row and column at most once: counting them is the cheap first bound.
    const int32_t distinct = 1 + std::min(std::popcount(rows), std::popcount(columns));
    if (distinct < needed)
        return distinct;
    uint32_t staircase = 0;
    for (; rows != 0; rows &= rows - 1)
        staircase = addRow(staircase, cells[std::countr_zero(rows)]);
    return 1 + std::popcount(staircase);
}

int32_t ChainBounds::pathBound(const Hit* begin, const Hit* end)
{
    constexpr int32_t kSize = StarDescriptor::kMaxNeighbours;
    // Longest chain that can end at each cell, and per column the longest ending there in the rows done.
    uint8_t value[kSize][kSize] = {};
    uint8_t columnBest[kSize] = {};
    int32_t best = 1;
    for (const Hit* h = begin; h < end;) {
        const int32_t row = h->row;
        const Hit* rowEnd = h;
        while (rowEnd < end && rowEnd->row == row)
            ++rowEnd;
        uint8_t leftOf[kSize + 1];  // longest chain in earlier rows and columns left of each column
        leftOf[0] = 0;
        for (int32_t c = 0; c < kSize; ++c)
            leftOf[c + 1] = std::max(leftOf[c], columnBest[c]);
        for (const Hit* k = h; k < rowEnd; ++k) {
            const bool consecutive = k->rowFrom + 1 == row && k->columnFrom + 1 == k->column;
            const int32_t before = consecutive ? leftOf[k->column] : value[k->rowFrom][k->columnFrom];
            const int32_t length = 1 + std::max(1, before);
            uint8_t& cell = value[row][k->column];
            cell = static_cast<uint8_t>(std::max<int32_t>(cell, length));
        }
        for (const Hit* k = h; k < rowEnd; ++k) {
            const uint8_t length = value[row][k->column];
            columnBest[k->column] = std::max(columnBest[k->column], length);
            best = std::max<int32_t>(best, length);
        }
        h = rowEnd;
    }
    return best;
}

int32_t ChainBounds::longest(int32_t descriptor, int32_t needed) const
{
    const size_t d = static_cast<size_t>(descriptor);
    if (m_count[d] > kHitCapacity)
        return StarDescriptor::kMaxNeighbours;
    const Hit* begin = m_hits.data() + d * kHitPlaces;
    const Hit* end = begin + m_count[d];
    const int32_t staircase = staircaseBound(begin, end, needed);
    if (staircase < needed)
        return staircase;
    return pathBound(begin, end);
}

}  // namespace velreg
