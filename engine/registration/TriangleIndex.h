#pragma once

#include <cstdint>
#include <vector>

#include "registration/DescriptorShape.h"

namespace velreg {

// Every triangle of a pattern's descriptor shapes, grouped by kind and ratio and sorted by cross
// product, so that the triangles passing the triangle test with a given one are found by binary
// searches instead of by comparing them all. Read-only once built; any number of threads may query it.
class TriangleIndex {
public:
    explicit TriangleIndex(const std::vector<DescriptorShape>& shapes);

    int32_t descriptorCount() const { return m_descriptorCount; }

    // Calls found(descriptor, earlier offset, later offset, passes) for every indexed triangle whose
    // cross product lies near that of `t`; `passes` is true for those that pass the triangle test
    // with `t`, and possibly for one just outside it: cross products are held as floats and huge
    // ratios saturated, which is good for an upper bound, never for a score. (Every near one is
    // handed over so that the caller can take them without a branch.)
    template <typename F>
    void forEachCandidate(const Triangle& t, F&& found) const;

private:
    struct Payload {
        int32_t ratio;   // saturated
        uint32_t owner;  // (descriptor × 32 + earlier offset) × 32 + later offset
    };

    // Buckets of 64 ratio units, so a query's ratio window covers at most two of them; ratios
    // beyond the last bucket share it.
    static constexpr int32_t kRatioBuckets = 1024;
    static constexpr int64_t kRatioLimit = (int64_t{1} << 31) - 64;
    static int32_t bucketOf(int32_t kind, int64_t ratio);

    int32_t m_descriptorCount;
    std::vector<float> m_cross;  // bucket by bucket, ascending within each
    std::vector<Payload> m_payload;
    std::vector<int32_t> m_bucketStart;  // kinds × buckets + 1 offsets
};

// For one descriptor against every descriptor of an indexed pattern, an upper bound of the chain
// length its score table ends with. Each pair of a chain after its first is appended where two
// triangles pass the test, at a cell strictly below and right of the chain's last pair: by the
// consecutive-triangle rule (the triangles of offsets i-1, i and j-1, j) whatever that pair is,
// or by the triangles the last pair (p, q) makes with (i, j). So the longest path through such
// matched triangles, each starting anywhere, bounds every chain. The bound is found in steps, each
// dearer and tighter, and stops as soon as one rules out the pairs wanted: the count of rows and
// columns with matched triangles, the longest staircase of matched cells, the longest path.
// Scratch is reused from one descriptor to the next.
class ChainBounds {
public:
    void compute(const TriangleIndex& index, const DescriptorShape& first);

    // An upper bound of the chain against `descriptor`, tight enough to tell whether it reaches
    // `needed` pairs.
    int32_t longest(int32_t descriptor, int32_t needed) const;

private:
    // Offsets (row, column) of a matched pair of triangles, with the earlier offsets they were made with.
    struct Hit {
        uint8_t row;
        uint8_t column;
        uint8_t rowFrom;
        uint8_t columnFrom;
    };

    // Hits kept per descriptor; a descriptor with more (a likely partner) is left to its table.
    static constexpr int32_t kHitCapacity = 64;
    // Places per descriptor: the hits, and one that takes the writes nothing will read.
    static constexpr size_t kHitPlaces = kHitCapacity + 1;

    static int32_t staircaseBound(const Hit* begin, const Hit* end, int32_t needed);
    static int32_t pathBound(const Hit* begin, const Hit* end);

    std::vector<Hit> m_hits;       // per descriptor, kHitPlaces places, in row order
    std::vector<int32_t> m_count;  // per descriptor: hits found, even beyond the capacity
};

template <typename F>
void TriangleIndex::forEachCandidate(const Triangle& t, F&& found) const
{
    if (!t.valid())
        return;
    // Cross products agree within about 10 % and share their sign (part of the kind): a window a
    // little wider than that.
    const int64_t magnitude = t.cross > 0 ? t.cross : -t.cross;
    const int64_t near = 19 * magnitude / 21, far = 21 * magnitude / 19 + 1;
    const float low = static_cast<float>(t.cross > 0 ? near : -far);
    const float high = static_cast<float>(t.cross > 0 ? far : -near);
    const int64_t ratio = t.ratio();
    const int32_t saturated = static_cast<int32_t>(ratio < kRatioLimit ? ratio : kRatioLimit);
    const int32_t first = bucketOf(t.kind(), ratio > 31 ? ratio - 31 : 0);
    const int32_t last = bucketOf(t.kind(), ratio + 31);
    for (int32_t bucket = first; bucket <= last; ++bucket) {
        const size_t begin = static_cast<size_t>(m_bucketStart[static_cast<size_t>(bucket)]);
        const size_t end = static_cast<size_t>(m_bucketStart[static_cast<size_t>(bucket) + 1]);
        const float* cross = m_cross.data();
        // Lower bound without branches: which way each step goes is a coin toss.
        const float* base = cross + begin;
        for (size_t length = end - begin; length > 1;) {
            const size_t half = length / 2;
            base = base[half - 1] < low ? base + half : base;
            length -= half;
        }
        size_t k = static_cast<size_t>(base - cross);
        if (k < end && cross[k] < low)
            ++k;
        for (; k < end && cross[k] <= high; ++k) {
            const Payload& p = m_payload[k];
            found(static_cast<int32_t>(p.owner >> 10), static_cast<int32_t>((p.owner >> 5) & 31),
                  static_cast<int32_t>(p.owner & 31), static_cast<uint32_t>(p.ratio - saturated + 31) < 63);
        }
    }
}

}  // namespace velreg
