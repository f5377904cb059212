#pragma once

#include <algorithm>
#include <cstdint>

#include "parallel/Job.h"
#include "registration/StarDetector.h"

namespace velreg {

// Luminance below which a pixel is never a star: too close to the black level to judge.
constexpr uint8_t kMinStarLuminance = 8;

// Ratio pass over a band of rows: for every pixel that may hold a star, the best inner-square
// to surrounding-ring brightness ratio (1024 = 1) and contrast over the square radii r0 … r1;
// every other pixel, and every pixel not brighter than its ring, gets its not-a-star bit.
// Writes only its own rows of the detector's planes.
template <typename Predicate>
class CalRatioImageJob : public velthread::Job {
public:
    CalRatioImageJob(int32_t r0, int32_t r1, int32_t margin, int32_t first, int32_t end,
                     StarDetector::Planes& planes, const Predicate& predicate)
        : m_r0(r0), m_r1(r1), m_margin(margin), m_first(first), m_end(end), m_planes(planes), m_predicate(predicate)
    {
    }

    void run() override
    {
        for (int32_t y = m_first; y < m_end; ++y)
            processRow(y);
    }

private:
    void processRow(int32_t y)
    {
        const int32_t width = m_planes.width;
        const size_t offset = static_cast<size_t>(y) * width;
        uint32_t* ratio = m_planes.ratio.data() + offset;
        int32_t* contrast = m_planes.contrast.data() + offset;
        const uint8_t* luminance = m_planes.luminance.data() + offset;
        uint64_t* bits = m_planes.notStar.data() + static_cast<size_t>(y) * m_planes.wordsPerRow;
        std::fill(bits, bits + m_planes.wordsPerRow, ~uint64_t{0});
        std::fill(ratio, ratio + width, 0u);
        std::fill(contrast, contrast + width, 0);
        if (y < m_margin || y >= m_planes.height - m_margin)
            return;
        for (int32_t x = m_margin; x < width - m_margin; ++x) {
            if (luminance[x] < kMinStarLuminance || !m_predicate(x, y))
                continue;
            int64_t bestRatio = 0;
            int64_t bestContrast = 0;
            measure(x, y, bestRatio, bestContrast);
            ratio[x] = static_cast<uint32_t>(std::min<int64_t>(bestRatio, INT32_MAX));
            contrast[x] = static_cast<int32_t>(std::min<int64_t>(bestContrast, INT32_MAX));
            if (bestRatio > 1024)
                bits[x >> 6] &= ~(uint64_t{1} << (x & 63));
        }
    }

    // Quotients of exact integers below 2^40 through double division: floor is exact there and
    // much cheaper than 64-bit integer division in this inner loop.
    static int64_t floorDivide(int64_t numerator, int64_t denominator)
    {
        return static_cast<int64_t>(static_cast<double>(numerator) / static_cast<double>(denominator));
    }

    void measure(int32_t x, int32_t y, int64_t& bestRatio, int64_t& bestContrast) const
    {
        const IntegralImage& integral = m_planes.integral;
        for (int32_t k = m_r0; k <= m_r1; ++k) {
            const int64_t inner = static_cast<int64_t>(integral.squareSum(x, y, k));
            int64_t ring = static_cast<int64_t>(integral.squareSum(x, y, k + 3)) - inner;
            if (ring == 0)
                ring = 1;
            const int64_t innerArea = int64_t{2 * k + 1} * (2 * k + 1);
            const int64_t ringArea = int64_t{2 * k + 7} * (2 * k + 7) - innerArea;
            const int64_t innerMean = floorDivide(1024 * inner, innerArea);
            int64_t value = floorDivide(innerMean * ringArea, ring);
            // Wider squares must clear the ratio by more to count as much.
            if (value > 1024)
                value = (value - 1024) * k + 1024;
            bestRatio = std::max(bestRatio, value);
            bestContrast = std::max(bestContrast, innerMean - floorDivide(1024 * ring, ringArea));
        }
    }

    int32_t m_r0;
    int32_t m_r1;
    int32_t m_margin;
    int32_t m_first;
    int32_t m_end;
    StarDetector::Planes& m_planes;
    const Predicate& m_predicate;
};

}  // namespace velreg
