#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/ImageTypes.h"

namespace veltone {

// Which part of a region's histogram counts as its background, by strength −2..+2: the 40th,
// 20th or 1st percentile, the 1st scaled by 3/4 or 1/2 for the weaker settings. The aggressive
// variant of the second kind takes the 25th and 10th percentiles and 15/16 of the 1st.
class PercentileRule {
public:
    static PercentileRule forStrength(int32_t strength, bool aggressive);

    // Level of a histogram of `bins` bins of 2^binShift values holding `pixels` counts: one bin
    // below the first whose cumulative count exceeds trunc(pixels·fraction + 0.5), shifted back up.
    uint64_t level(const uint32_t* counts, size_t bins, int32_t binShift, uint64_t pixels) const;

    // The count the cumulative counts must exceed: trunc(pixels·fraction + 0.5).
    uint64_t threshold(uint64_t pixels) const;
    // The level when bin `crossing` is the first whose cumulative count exceeds the threshold
    // (`bins` when none does).
    uint64_t levelAt(size_t crossing, size_t bins, int32_t binShift) const;

    double fraction() const { return m_fraction; }

private:
    PercentileRule(double fraction, uint64_t numerator, int32_t shift)
        : m_fraction(fraction), m_numerator(numerator), m_shift(shift)
    {
    }
    double m_fraction;
    uint64_t m_numerator;  // the level is scaled by m_numerator / 2^m_shift
    int32_t m_shift;
};

// Histogram bins: enough for the 0xFFFFFF white level at 16 values per bin.
constexpr size_t LevelBins = 0x100000;

// Smallest bin shift that puts `maximum` into LevelBins bins.
int32_t binShiftFor(uint64_t maximum);

// Background levels of the three channels of the rectangle [x0, x0 + width) × [y0, y0 + height)
// of a three-channel image, by `rule` on values >> 4. `counts` is scratch (reused across blocks).
void blockLevels(const velimage::AccumulationImage& image, int32_t x0, int32_t y0, int32_t width, int32_t height,
                 const PercentileRule& rule, std::vector<uint32_t>& counts, uint64_t levels[3]);

// Background level of one channel of the rectangle [x0, x0 + width) × [y0, y0 + height) of a
// three-channel image, by the percentile rule of `strength` on values >> 4.
uint64_t blockLevel(const velimage::AccumulationImage& image, int32_t x0, int32_t y0, int32_t width, int32_t height,
                    int32_t channel, int32_t strength);

}  // namespace veltone
