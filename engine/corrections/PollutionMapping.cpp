#include "corrections/PollutionMapping.h"

#include <algorithm>
#include <bit>
#include <cmath>

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

namespace {

// One channel's values and backgrounds of a chunk, taken out of the interleaved rows so that the
// lanes below read them contiguously.
struct ForegroundLanes {
    double values[3][MapChunk], backgrounds[3][MapChunk];
};

VELOSTAR_VECTOR_CLONES
void adjustLanes(ForegroundLanes& lanes, const double* __restrict skyWeights, int32_t count)
{
    double* __restrict b0 = lanes.backgrounds[0];
    double* __restrict b1 = lanes.backgrounds[1];
    double* __restrict b2 = lanes.backgrounds[2];
    const double* __restrict v0 = lanes.values[0];
    const double* __restrict v1 = lanes.values[1];
    const double* __restrict v2 = lanes.values[2];
    for (int32_t k = 0; k < count; ++k) {
        const double e0 = (v0[k] - (b0[k] == 0.0 ? 1.0 : b0[k])) / (b0[k] == 0.0 ? 1.0 : b0[k]);
        const double e1 = (v1[k] - (b1[k] == 0.0 ? 1.0 : b1[k])) / (b1[k] == 0.0 ? 1.0 : b1[k]);
        const double e2 = (v2[k] - (b2[k] == 0.0 ? 1.0 : b2[k])) / (b2[k] == 0.0 ? 1.0 : b2[k]);
        const double low01 = e1 < e0 ? e1 : e0, high01 = e0 < e1 ? e1 : e0;
        const double lowest = e2 < low01 ? e2 : low01, highest = high01 < e2 ? e2 : high01;
        const double middle = (highest - 0.1) * 0.19999999999999996 / 0.9 - 1.0;
        // Plain selects and bitwise conditions: branches would stop the vectoriser.
        const double capped = highest > 1.0 ? -0.8 : middle;
        const double limit = highest < 0.1 ? -1.0 : capped;
        const double ratio = (lowest - limit) / -limit;
        const double g = skyWeights[k];
        const bool cleared = limit > lowest;
        const bool adjusted = (g < 1.0) & (cleared | ((lowest <= 0.0) & (ratio < 1.0)));
        const double share = (1.0 - g) * (cleared ? 0.0 : ratio) + g;
        // Computed in every lane; kept only where the rule adjusts.
        const double l0 = std::trunc(b0[k] * share + 0.5), l1 = std::trunc(b1[k] * share + 0.5);
        const double l2 = std::trunc(b2[k] * share + 0.5);
        b0[k] = adjusted ? l0 : b0[k];
        b1[k] = adjusted ? l1 : b1[k];
        b2[k] = adjusted ? l2 : b2[k];
    }
}

// The interleaved values and backgrounds of n pixels into channel lanes, and back.
VELOSTAR_VECTOR_CLONES
void intoLanes(const uint32_t* __restrict pixels, const double* __restrict backgrounds, int32_t n,
               ForegroundLanes& __restrict lanes)
{
    for (int32_t k = 0; k < n; ++k)
        for (int32_t c = 0; c < 3; ++c) {
            lanes.values[c][k] = toDouble(pixels[3 * k + c]);
            lanes.backgrounds[c][k] = backgrounds[3 * k + c];
        }
}

VELOSTAR_VECTOR_CLONES
void outOfLanes(const ForegroundLanes& __restrict lanes, int32_t n, double* __restrict backgrounds)
{
    for (int32_t k = 0; k < n; ++k)
        for (int32_t c = 0; c < 3; ++c)
            backgrounds[3 * k + c] = lanes.backgrounds[c][k];
}

}  // namespace

void adjustForegrounds(const uint32_t* pixels, const double* skyWeights, int32_t count, double* backgrounds)
{
    for (int32_t x0 = 0; x0 < count; x0 += MapChunk) {
        const int32_t n = std::min(MapChunk, count - x0);
        ForegroundLanes lanes;
        intoLanes(pixels + 3 * static_cast<size_t>(x0), backgrounds + 3 * static_cast<size_t>(x0), n, lanes);
        adjustLanes(lanes, skyWeights + x0, n);
        outOfLanes(lanes, n, backgrounds + 3 * static_cast<size_t>(x0));
    }
}

}  // namespace veltone
