#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "parallel/Job.h"
#include "registration/StarDetector.h"

namespace velreg {

// Luminance below which a pixel is never a star: too close to the black level to judge.
constexpr uint8_t kMinStarLuminance = 8;
// Square radii grow with the frame width: 8·32767 / 4900 at most.
constexpr int32_t kMaxRadii = 56;

// Ratio pass over a band of rows: for every pixel that may hold a star, the best inner-square
// to surrounding-ring brightness ratio (1024 = 1) and contrast over the square radii r0 … r1;
// every other pixel, and every pixel not brighter than its ring, gets its not-a-star bit (ratio and
// contrast of such pixels are never read).
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
        prepareRadii();
        for (int32_t y = m_first; y < m_end; ++y)
            clearRow(y);
        const int32_t top = std::max(m_first, m_margin);
        const int32_t bottom = std::min(m_end, m_planes.height - m_margin);
        // Column tiles keep the integral-image rows that a row's squares read inside the cache.
        for (int32_t x0 = m_margin; x0 < m_planes.width - m_margin; x0 += kTileColumns) {
            const int32_t x1 = std::min(x0 + kTileColumns, m_planes.width - m_margin);
            for (int32_t y = top; y < bottom; ++y)
                processRow(y, x0, x1);
        }
    }

private:
    static constexpr int32_t kTileColumns = 192;

    // Every pixel starts as "not a star". Ratio and contrast are read only where the bit is clear,
    // and every pixel that can lose its bit has both written by processRow, so they need no clearing.
    void clearRow(int32_t y)
    {
        uint64_t* bits = m_planes.notStar.data() + static_cast<size_t>(y) * m_planes.wordsPerRow;
        std::fill(bits, bits + m_planes.wordsPerRow, ~uint64_t{0});
    }

    // Vertical strip sums of every square size over the tile's columns (plus the squares' reach):
    // strip r, column x = sum of rows y − r … y + r over columns 0 … x − 1. A square is then the
    // difference of two entries of one strip.
    void fillStrips(int32_t y, int32_t x0, int32_t x1)
    {
        const IntegralImage& integral = m_planes.integral;
        const int32_t reach = m_r1 + 3;
        m_stripBase = x0 - reach;
        m_stripWidth = x1 - x0 + 2 * reach + 1;
        for (int32_t r = m_r0; r <= reach; ++r) {
            const uint64_t* top = integral.row(y - r) + m_stripBase;
            const uint64_t* bottom = integral.row(y + r + 1) + m_stripBase;
            int64_t* strip = m_strips.data() + static_cast<size_t>(r - m_r0) * m_stripStride;
            for (int32_t i = 0; i < m_stripWidth; ++i)
                strip[i] = static_cast<int64_t>(bottom[i] - top[i]);
        }
    }

    void processRow(int32_t y, int32_t x0, int32_t x1)
    {
        const size_t offset = static_cast<size_t>(y) * m_planes.width;
        const uint8_t* luminance = m_planes.luminance.data() + offset;
        // Dark sky leaves most pixels below the star luminance: the strips pay off only where many
        // pixels of the tile row are measured; a few are cheaper straight from the integral image.
        int32_t bright = 0;
        for (int32_t x = x0; x < x1; ++x)
            bright += luminance[x] >= kMinStarLuminance ? 1 : 0;
        if (bright == 0)
            return;
        m_useStrips = 4 * bright > x1 - x0;
        if (m_useStrips)
            fillStrips(y, x0, x1);
        uint32_t* ratio = m_planes.ratio.data() + offset;
        int32_t* contrast = m_planes.contrast.data() + offset;
        uint64_t* bits = m_planes.notStar.data() + static_cast<size_t>(y) * m_planes.wordsPerRow;
        for (int32_t x = x0; x < x1; ++x) {
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

    // floor(n / d) for 0 ≤ n < 2^40 through a double reciprocal, corrected by one step: exact, and far
    // cheaper than 64-bit division in this inner loop.
    static int64_t floorDivide(int64_t n, int64_t d, double reciprocal)
    {
        int64_t q = static_cast<int64_t>(static_cast<double>(n) * reciprocal);
        const int64_t rest = n - q * d;
        if (rest < 0)
            --q;
        else if (rest >= d)
            ++q;
        return q;
    }

    // Best ratio and contrast over the square radii. Only ratios above 1024 matter (a pixel not
    // brighter than its ring is no star, whatever its exact ratio), so a radius is first tested with
    // multiplications alone, and the divisions are made only where the value can beat the best so far;
    // the result is then exact. The contrast is needed only for pixels that stay candidates.
    void measure(int32_t x, int32_t y, int64_t& bestRatio, int64_t& bestContrast) const
    {
        int64_t sums[kMaxRadii + 3];
        const int32_t count = m_r1 - m_r0 + 4;
        if (m_useStrips) {
            const int32_t column = x - m_stripBase;
            for (int32_t r = 0; r < count; ++r) {
                const int64_t* strip = m_strips.data() + static_cast<size_t>(r) * m_stripStride;
                const int32_t radius = m_r0 + r;
                sums[r] = strip[column + radius + 1] - strip[column - radius];
            }
        } else {
            // The same sums (the table wraps modulo 2^64, and every square sum is small).
            for (int32_t r = 0; r < count; ++r)
                sums[r] = static_cast<int64_t>(m_planes.integral.squareSum(x, y, m_r0 + r));
        }
        int64_t best = 1024;
        for (int32_t k = m_r0; k <= m_r1; ++k) {
            const Radius& radius = m_radii[k - m_r0];
            const int64_t inner = sums[k - m_r0];
            const int64_t ring = std::max<int64_t>(sums[k - m_r0 + 3] - inner, 1);
            // ⌊1024·I / area⌋·A ≤ 1024·I·A / area: below 1025·ring the ratio cannot exceed 1024.
            if (1024 * inner * radius.ringArea < 1025 * ring * radius.innerArea)
                continue;
            const int64_t scaled = floorDivide(1024 * inner, radius.innerArea, radius.innerReciprocal) * radius.ringArea;
            // v = ⌊scaled / ring⌋ > 1024, and (v − 1024)·k + 1024 may exceed the best.
            if (scaled >= 1025 * ring && (scaled - 1024 * ring) * k > (best - 1024) * ring)
                best = std::max(best, (scaled / ring - 1024) * k + 1024);
        }
        bestRatio = best > 1024 ? best : 0;
        bestContrast = 0;
        if (best <= 1024)
            return;
        for (int32_t k = m_r0; k <= m_r1; ++k) {
            const Radius& radius = m_radii[k - m_r0];
            const int64_t inner = sums[k - m_r0];
            const int64_t ring = std::max<int64_t>(sums[k - m_r0 + 3] - inner, 1);
            const int64_t innerMean = floorDivide(1024 * inner, radius.innerArea, radius.innerReciprocal);
            const int64_t ringMean = floorDivide(1024 * ring, radius.ringArea, radius.ringReciprocal);
            bestContrast = std::max(bestContrast, innerMean - ringMean);
        }
    }

    struct Radius {
        int64_t innerArea;
        int64_t ringArea;
        double innerReciprocal;
        double ringReciprocal;
    };

    void prepareRadii()
    {
        m_stripStride = kTileColumns + 2 * (m_r1 + 3) + 1;
        m_strips.assign(static_cast<size_t>(m_r1 - m_r0 + 4) * m_stripStride, 0);
        for (int32_t k = m_r0; k <= m_r1; ++k) {
            Radius r;
            r.innerArea = int64_t{2 * k + 1} * (2 * k + 1);
            r.ringArea = int64_t{2 * k + 7} * (2 * k + 7) - r.innerArea;
            r.innerReciprocal = 1.0 / static_cast<double>(r.innerArea);
            r.ringReciprocal = 1.0 / static_cast<double>(r.ringArea);
            m_radii.push_back(r);
        }
    }

    int32_t m_r0;
    int32_t m_r1;
    int32_t m_margin;
    int32_t m_first;
    int32_t m_end;
    StarDetector::Planes& m_planes;
    const Predicate& m_predicate;
    std::vector<Radius> m_radii;
    std::vector<int64_t> m_strips;
    int32_t m_stripStride = 0;
    int32_t m_stripBase = 0;
    int32_t m_stripWidth = 0;
    bool m_useStrips = false;
};

}  // namespace velreg
