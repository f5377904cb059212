#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "parallel/Job.h"
#include "registration/SquareRatio.h"
#include "registration/StarDetector.h"
#include "registration/StarExtractor.h"
#include "registration/StarSuppressor.h"

namespace velreg {

// Ratio pass over a band of rows: for every pixel that may hold a star, the best inner-square
// to surrounding-ring brightness ratio (1024 = 1) over the square radii r0 … r1; every other pixel,
// and every pixel not brighter than its ring, gets its not-a-star bit (the ratio of such a pixel is
// never read). Then the band's suppression and star extraction, except for its first and last
// `radius` rows, which touch the neighbouring bands: each row as soon as every row of its window
// is measured, so both read rows still in the cache (a row's survivors are settled once its own
// suppression is done). Writes only its own rows of the detector's planes.
template <typename Predicate>
class CalRatioImageJob : public velthread::Job {
public:
    CalRatioImageJob(int32_t r0, int32_t r1, int32_t margin, int32_t radius, int32_t first, int32_t end,
                     StarDetector::Planes& planes, const Predicate& predicate, const DetectionLevel& level,
                     size_t starReserve)
        : m_r0(r0),
          m_r1(r1),
          m_margin(margin),
          m_radius(radius),
          m_first(first),
          m_end(end),
          m_planes(planes),
          m_predicate(predicate),
          m_level(level),
          m_starReserve(starReserve)
    {
    }

    // The stars of the rows the job suppressed itself, in row order.
    const StarList& stars() const { return m_stars; }

    void run() override
    {
        const int32_t top = std::max(m_first, m_margin);
        const int32_t bottom = std::min(m_end, m_planes.height - m_margin);
        // Column tiles keep the running sums of each tile small.
        std::vector<SquareRatioRows> tiles;
        for (int32_t x0 = m_margin; x0 < m_planes.width - m_margin; x0 = (x0 / kTileColumns + 1) * kTileColumns)
            tiles.emplace_back(m_r0, m_r1, x0, std::min((x0 / kTileColumns + 1) * kTileColumns, m_planes.width - m_margin));
        std::vector<uint64_t> candidates(static_cast<size_t>(m_planes.wordsPerRow));
        StarSuppressor suppressor(m_planes, m_radius);
        suppressor.settleFrom(m_first + m_radius);
        StarExtractor extractor(m_planes, m_r0, m_r1, m_margin, m_level);
        m_stars.reserve(m_starReserve);
        for (int32_t y = m_first; y < m_end; ++y) {
            clearRow(y);
            if (y >= top && y < bottom)
                measureRow(y, tiles, candidates);
            const int32_t ready = y - m_radius;
            if (ready >= m_first + m_radius && ready < m_end - m_radius) {
                suppressor.rows(ready, ready + 1);
                extractor.rows(ready, ready + 1, m_stars);
            }
        }
    }

private:
    static constexpr int32_t kTileColumns = 512;  // a multiple of the 64-pixel bit words

    // Every pixel starts as "not a star".
    void clearRow(int32_t y)
    {
        uint64_t* bits = m_planes.notStar.data() + static_cast<size_t>(y) * m_planes.wordsPerRow;
        std::fill(bits, bits + m_planes.wordsPerRow, ~uint64_t{0});
    }

    void measureRow(int32_t y, std::vector<SquareRatioRows>& tiles, std::vector<uint64_t>& candidates)
    {
        uint32_t* ratio = m_planes.ratio.data() + static_cast<size_t>(y) * m_planes.width;
        uint64_t* bits = m_planes.notStar.data() + static_cast<size_t>(y) * m_planes.wordsPerRow;
        std::fill(candidates.begin(), candidates.end(), 0);
        for (SquareRatioRows& tile : tiles)
            tile.candidates(m_planes.luminance.data(), m_planes.width, y, m_planes.floors.row(y), ratio, candidates.data());
        for (int32_t word = 0; word < m_planes.wordsPerRow; ++word) {
            uint64_t found = candidates[static_cast<size_t>(word)];
            for (uint64_t rest = found; rest; rest &= rest - 1) {
                const int32_t bit = std::countr_zero(rest);
                if (!m_predicate((word << 6) + bit, y))
                    found &= ~(uint64_t{1} << bit);
            }
            bits[word] &= ~found;
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
    const DetectionLevel& m_level;
    size_t m_starReserve;
    StarList m_stars;
};

}  // namespace velreg
