#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "parallel/Job.h"
#include "registration/SquareRatio.h"
#include "registration/StarDetector.h"
#include "registration/StarSuppressor.h"

namespace velreg {

// Ratio pass over a band of rows: for every pixel that may hold a star, the best inner-square
// to surrounding-ring brightness ratio (1024 = 1) over the square radii r0 … r1; every other pixel,
// and every pixel not brighter than its ring, gets its not-a-star bit (the ratio of such a pixel is
// never read). Then the band's suppression, except for its first and last `radius` rows, which
// touch the neighbouring bands: each row as soon as every row of its window is measured, so the
// suppression reads rows still in the cache. Writes only its own rows of the detector's planes.
template <typename Predicate>
class CalRatioImageJob : public velthread::Job {
public:
    CalRatioImageJob(int32_t r0, int32_t r1, int32_t margin, int32_t radius, int32_t first, int32_t end,
                     StarDetector::Planes& planes, const Predicate& predicate)
        : m_r0(r0),
          m_r1(r1),
          m_margin(margin),
          m_radius(radius),
          m_first(first),
          m_end(end),
          m_planes(planes),
          m_predicate(predicate)
    {
    }

    void run() override
    {
        const int32_t top = std::max(m_first, m_margin);
        const int32_t bottom = std::min(m_end, m_planes.height - m_margin);
        // Column tiles keep the running sums of each tile small.
        std::vector<SquareRatioRows> tiles;
        for (int32_t x0 = m_margin; x0 < m_planes.width - m_margin; x0 += kTileColumns)
            tiles.emplace_back(m_r0, m_r1, x0, std::min(x0 + kTileColumns, m_planes.width - m_margin));
        StarSuppressor suppressor(m_planes, m_radius);
        for (int32_t y = m_first; y < m_end; ++y) {
            clearRow(y);
            if (y >= top && y < bottom)
                measureRow(y, tiles);
            const int32_t ready = y - m_radius;
            if (ready >= m_first + m_radius && ready < m_end - m_radius)
                suppressor.rows(ready, ready + 1);
        }
    }

private:
    static constexpr int32_t kTileColumns = 1024;

    // Every pixel starts as "not a star".
    void clearRow(int32_t y)
    {
        uint64_t* bits = m_planes.notStar.data() + static_cast<size_t>(y) * m_planes.wordsPerRow;
        std::fill(bits, bits + m_planes.wordsPerRow, ~uint64_t{0});
    }

    void measureRow(int32_t y, std::vector<SquareRatioRows>& tiles)
    {
        const size_t offset = static_cast<size_t>(y) * m_planes.width;
        const uint8_t* luminance = m_planes.luminance.data() + offset;
        uint32_t* ratio = m_planes.ratio.data() + offset;
        uint64_t* bits = m_planes.notStar.data() + static_cast<size_t>(y) * m_planes.wordsPerRow;
        for (SquareRatioRows& tile : tiles)
            tile.ratios(m_planes.luminance.data(), m_planes.width, y, ratio + tile.first());
        const int32_t x0 = m_margin;
        const int32_t x1 = m_planes.width - m_margin;
        for (int32_t word = x0 >> 6; word <= (x1 - 1) >> 6; ++word) {
            const int32_t base = word << 6;
            uint64_t candidates;
            if (base >= x0 && base + 64 <= x1) {
                candidates = candidateBits(ratio + base, luminance + base);
            } else {
                candidates = 0;
                for (int32_t x = std::max(base, x0); x < std::min(base + 64, x1); ++x)
                    if (ratio[x] > 1024 && luminance[x] >= kMinStarLuminance)
                        candidates |= uint64_t{1} << (x - base);
            }
            for (uint64_t rest = candidates; rest; rest &= rest - 1) {
                const int32_t bit = std::countr_zero(rest);
                if (!m_predicate(base + bit, y))
                    candidates &= ~(uint64_t{1} << bit);
            }
            bits[word] &= ~candidates;
        }
    }

    int32_t m_r0;
    int32_t m_r1;
    int32_t m_margin;
    int32_t m_radius;
    int32_t m_first;
    int32_t m_end;
    StarDetector::Planes& m_planes;
    const Predicate& m_predicate;
};

}  // namespace velreg
