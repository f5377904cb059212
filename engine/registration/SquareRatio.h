#pragma once

#include <cstdint>
#include <vector>

namespace velreg {

// Luminance below which a pixel is never a star: too close to the black level to judge.
constexpr uint8_t kMinStarLuminance = 8;

// Square sums of one row of a column tile for every square radius r0 … r1 + 3, and from them each
// pixel's best inner-square to ring ratio (1024 = 1). The sums come from running prefix sums of the
// luminance rows around the row, so no frame-sized table is needed and a tile stays in the cache.
//
// Ratio of a pixel: for each k in r0 … r1, I = sum over the (2k + 1)² square, O = sum over the
// (2k + 7)² square minus I (at least 1), A = ring area; v = ⌊⌊1024·I / (2k + 1)²⌋·A / O⌋, and where
// v > 1024 it counts as (v − 1024)·k + 1024. The ratio is the largest such value, 0 when none.
class SquareRatioRows {
public:
    // For the pixels of columns x0 … x1 − 1, which start a bit word unless x0 is the frame's first
    // measured column; every square must lie inside the luminance plane.
    SquareRatioRows(int32_t r0, int32_t r1, int32_t x0, int32_t x1);

    // Row y of the frame: sets words[w] (frame-row bit words) to the candidates among the tile's
    // pixels — ratio above 1024 and luminance at least floors[w] (never below kMinStarLuminance) —
    // and writes their ratios to `ratio` (the frame row). Words without a pixel at their floor are
    // left alone, as are the ratios of pixels that are no candidates. `luminance` is the plane,
    // `stride` bytes per row; consecutive rows reuse the previous call's work.
    void candidates(const uint8_t* luminance, int32_t stride, int32_t y, const uint8_t* floors, uint32_t* ratio,
                    uint64_t* words);

private:
    void prefixRow(const uint8_t* luminance, int32_t stride, int32_t row);
    const uint32_t* prefix(int32_t row) const;

    int32_t m_r0;
    int32_t m_r1;
    int32_t m_reach;  // r1 + 3, the radius of the largest square
    int32_t m_x0;
    int32_t m_x1;
    int32_t m_columns;  // prefix entries per row: tile width + 2·reach + 1
    int32_t m_lastRow = 0;
    bool m_started = false;
    std::vector<uint32_t> m_prefixes;  // ring of 2·reach + 2 rows
    std::vector<uint32_t> m_strips;    // one per radius: column sums of the row prefixes
};

}  // namespace velreg
