#include "skymask/LuminancePlane.h"

#include <algorithm>

#include "parallel/ProcessPool.h"

namespace velmask {

namespace {

constexpr int32_t TargetLongSide = 1000;

// Adds the luminance of `blocks` blocks of one frame row into `sums` (R + 2G + B per pixel).
void addRow(const uint16_t* in, int32_t channels, int32_t factor, int32_t blocks, uint32_t* sums)
{
    if (channels >= 3) {
        for (int32_t b = 0; b < blocks; ++b) {
            const uint16_t* p = in + static_cast<size_t>(b) * factor * channels;
            uint32_t sum = 0;
            for (int32_t k = 0; k < factor; ++k, p += channels)
                sum += p[0] + 2u * p[1] + p[2];
            sums[b] += sum;
        }
        return;
    }
    for (int32_t b = 0; b < blocks; ++b) {
        const uint16_t* p = in + static_cast<size_t>(b) * factor * channels;
        uint32_t sum = 0;
        for (int32_t k = 0; k < factor; ++k, p += channels)
            sum += 4u * p[0];
        sums[b] += sum;
    }
}

}  // namespace

int32_t reductionFactor(int32_t width, int32_t height)
{
    const int32_t longSide = std::max(width, height);
    return std::max(1, (longSide + TargetLongSide - 1) / TargetLongSide);
}

LuminancePlane reduceLuminance(const velimage::Image16& frame, int32_t factor)
{
    LuminancePlane plane;
    factor = std::max(1, factor);
    if (frame.empty() || frame.channels() < 1 || frame.width() < factor || frame.height() < factor)
        return plane;
    plane.factor = factor;
    plane.width = frame.width() / factor;
    plane.height = frame.height() / factor;
    plane.values.resize(static_cast<size_t>(plane.width) * plane.height);
    const int32_t channels = frame.channels();
    // A block of up to 64 × 64 pixels sums to at most 4 · 65535 · 4096 < 2^32.
    const float scale = 1.0f / (4.0f * static_cast<float>(factor) * static_cast<float>(factor));
    velthread::parallelRows(plane.height, [&](int32_t begin, int32_t end) {
        std::vector<uint32_t> sums(static_cast<size_t>(plane.width));
        for (int32_t y = begin; y < end; ++y) {
            std::fill(sums.begin(), sums.end(), 0u);
            for (int32_t k = 0; k < factor; ++k)
                addRow(frame.row(y * factor + k), channels, factor, plane.width, sums.data());
            float* out = plane.values.data() + static_cast<size_t>(y) * plane.width;
            for (int32_t x = 0; x < plane.width; ++x)
                out[x] = static_cast<float>(sums[static_cast<size_t>(x)]) * scale;
        }
    });
    return plane;
}

}  // namespace velmask
