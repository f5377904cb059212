#include "corrections/PollutionMapping.h"

#include <bit>

#include "parallel/VectorClones.h"

namespace veltone {

namespace {

// Conversions through the low mantissa bits of 2^52 + n, which every lane width has: exact for
// whole numbers below 2^52.
constexpr double TwoTo52 = 0x1p52;
constexpr uint64_t TwoTo52Bits = 0x4330000000000000;

inline double toDouble(uint32_t v) { return std::bit_cast<double>(TwoTo52Bits | v) - TwoTo52; }

// trunc(v) for 0 ≤ v < 2^32: the nearest whole number, less one where that lies above v.
inline uint32_t truncated(double v)
{
    const double rounded = v + TwoTo52;
    return static_cast<uint32_t>(std::bit_cast<uint64_t>(rounded)) - static_cast<uint32_t>(rounded - TwoTo52 > v);
}

}  // namespace

VELOSTAR_VECTOR_CLONES
void pollutionGains(const double* __restrict backgrounds, int32_t pixels, double target, double white,
                    double* __restrict gains)
{
    for (int32_t k = 0; k < pixels; ++k) {
        const double mean = (backgrounds[3 * k] + backgrounds[3 * k + 1] + backgrounds[3 * k + 2]) / 3.0;
        const double gain = (white - target) / (white - mean);
        const double kept = mean <= target || mean >= white ? 0.0 : gain;
        gains[3 * k] = kept;
        gains[3 * k + 1] = kept;
        gains[3 * k + 2] = kept;
    }
}

VELOSTAR_VECTOR_CLONES
void mapValues(uint32_t* __restrict values, const double* __restrict backgrounds, const double* __restrict gains,
               int32_t count, double target, double white)
{
    for (int32_t i = 0; i < count; ++i) {
        const double v = toDouble(values[i]), b = backgrounds[i], gain = gains[i];
        const double stretched = (v - b) * gain + target + 0.5;
        const double above = stretched < white ? stretched : white;
        const double scaled = v / (b > 0.0 ? b : 1.0) * target + 0.5;
        const double below = b > 0.0 ? scaled : 0.0;  // v = b = 0: black stays black
        const double mapped = v > b ? above : below;
        const double raised = mapped < 0.0 ? 0.0 : mapped;  // every comparison made in every lane
        const double clamped = raised > 4294967295.0 ? 4294967295.0 : raised;
        // Stored in every lane (a value left alone converts back to itself): a store made only
        // sometimes would stop the vectoriser.
        values[i] = truncated(gain > 0.0 ? clamped : v);
    }
}

}  // namespace veltone
