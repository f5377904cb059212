#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace veltone {

// Background level the correction moves the sky to (working scale): higher for linear output,
// which gets no tone curve to lift it.
inline double pollutionTarget(int32_t colorSpace) { return colorSpace == 2 ? 0x7FFF : 0x3FFF; }

// Moves a pixel's background `background` (mean `meanBackground`) to `target` while `white`
// stays where it is: what lies above the background is stretched by (white − target) /
// (white − mean), what lies below is scaled down in proportion. A pixel whose mean background is
// already at most the target, or at least white, is left alone.
inline void mapPixel(uint32_t* pixel, const double background[3], double meanBackground, double target, double white)
{
    if (meanBackground <= target || meanBackground >= white)
        return;
    const double gain = (white - target) / (white - meanBackground);
    for (int32_t c = 0; c < 3; ++c) {
        const double v = pixel[c], b = background[c];
        double mapped;
        if (v > b)
            mapped = std::min(white, (v - b) * gain + target + 0.5);
        else
            mapped = b > 0.0 ? v / b * target + 0.5 : 0.0;  // v = b = 0: black stays black
        pixel[c] = static_cast<uint32_t>(std::clamp(mapped, 0.0, 4294967295.0));
    }
}

// The gain of each of `pixels` pixels from its three interleaved backgrounds, once per value: the
// stretch of mapPixel, or 0 where it leaves the pixel alone.
void pollutionGains(const double* backgrounds, int32_t pixels, double target, double white, double* gains);

// mapPixel on `count` interleaved values with their backgrounds and the gains above, all lanes at
// once with the same results.
void mapValues(uint32_t* values, const double* backgrounds, const double* gains, int32_t count, double target,
               double white);

// Pixels mapped at a time by mapRow.
constexpr int32_t MapChunk = 512;

// mapPixel on the `width` pixels of a row, a chunk at a time: backgroundsOf(x0, n, out) writes the
// three interleaved backgrounds of pixels x0 .. x0 + n − 1, lower(x0, n, backgrounds) may then
// lower them, after the gains have been taken from the unlowered mean.
template <typename BackgroundsOf, typename Lower>
void mapRow(uint32_t* pixels, int32_t width, double target, double white, const BackgroundsOf& backgroundsOf,
            const Lower& lower)
{
    double backgrounds[3 * MapChunk], gains[3 * MapChunk];
    for (int32_t x0 = 0; x0 < width; x0 += MapChunk) {
        const int32_t n = std::min(MapChunk, width - x0);
        backgroundsOf(x0, n, backgrounds);
        pollutionGains(backgrounds, n, target, white, gains);
        lower(x0, n, backgrounds);
        mapValues(pixels + 3 * static_cast<size_t>(x0), backgrounds, gains, 3 * n, target, white);
    }
}

// Lowers the backgrounds of a pixel that is partly or wholly foreground (sky weight below 1), so
// that ground darker than the sky's background keeps some or all of its own level.
inline void adjustForeground(const uint32_t* pixel, double skyWeight, double background[3])
{
    if (skyWeight >= 1.0)
        return;
    double lowest = 0.0, highest = 0.0;
    for (int32_t c = 0; c < 3; ++c) {
        const double b = background[c] == 0.0 ? 1.0 : background[c];
        const double excess = (static_cast<double>(pixel[c]) - b) / b;
        lowest = c == 0 ? excess : std::min(lowest, excess);
        highest = c == 0 ? excess : std::max(highest, excess);
    }
    double limit;
    if (highest < 0.1)
        limit = -1.0;
    else if (highest > 1.0)
        limit = -0.8;
    else
        limit = (highest - 0.1) * 0.19999999999999996 / 0.9 - 1.0;
    double kept;
    if (limit > lowest)
        kept = 0.0;
    else if (lowest <= 0.0 && (lowest - limit) / -limit < 1.0)
        kept = (lowest - limit) / -limit;
    else
        return;
    const double share = (1.0 - skyWeight) * kept + skyWeight;
    for (int32_t c = 0; c < 3; ++c)
        background[c] = static_cast<double>(static_cast<uint64_t>(background[c] * share + 0.5));
}

// adjustForeground on `pixels` interleaved pixels with their sky weights, all lanes at once with
// the same results.
void adjustForegrounds(const uint32_t* pixels, const double* skyWeights, int32_t count, double* backgrounds);

}  // namespace veltone
