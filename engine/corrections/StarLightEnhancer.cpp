#include "corrections/StarLightEnhancer.h"

#include <algorithm>
#include <memory>

#include "integration/SampleRounding.h"
#include "parallel/LargeBuffer.h"
#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

inline uint64_t luminance(const uint32_t* pixel)
{
    return (static_cast<uint64_t>(pixel[0]) + pixel[1] + pixel[2]) / 3;
}

// Summed-area table of luminance with one extra leading row and column of zeros:
// sums[(y + 1)·(W + 1) + x + 1] = Σ L over [0, x] × [0, y].
velmem::Buffer<uint64_t> buildIntegral(const AccumulationImage& image)
{
    const int32_t width = image.width(), height = image.height();
    const size_t stride = static_cast<size_t>(width) + 1;
    auto sums = velmem::allocateBuffer<uint64_t>(stride * (static_cast<size_t>(height) + 1));
    std::fill_n(sums.get(), stride, 0);
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint64_t* out = sums.get() + (static_cast<size_t>(y) + 1) * stride;
            const uint32_t* row = image.row(y);
            uint64_t running = 0;
            out[0] = 0;
            for (int32_t x = 0; x < width; ++x) {
                running += luminance(row + static_cast<size_t>(x) * 3);
                out[x + 1] = running;
            }
        }
    });
    // Column sums: bands of columns, each walking all rows top to bottom.
    velthread::parallelRows(static_cast<int32_t>(stride), [&](int32_t begin, int32_t end) {
        for (int32_t y = 1; y < height; ++y) {
            const uint64_t* above = sums.get() + static_cast<size_t>(y) * stride;
            uint64_t* row = sums.get() + (static_cast<size_t>(y) + 1) * stride;
            for (int32_t x = begin; x < end; ++x)
                row[x] += above[x];
        }
    });
    return sums;
}

struct BoxMeans {
    const uint64_t* sums;
    size_t stride;
    int32_t lastColumn, lastRow;  // W − 2 and H − 2: the box never reaches the last column or row

    // Mean luminance over the box of radius r about (x, y); false when the box is empty.
    bool mean(int32_t x, int32_t y, int32_t r, float& value) const
    {
        const int32_t x0 = std::max(0, x - r), x1 = std::min(x + r, lastColumn);
        const int32_t y0 = std::max(0, y - r), y1 = std::min(y + r, lastRow);
        if (x1 < x0 || y1 < y0)
            return false;
        const uint64_t total = sums[(y1 + 1) * stride + x1 + 1] - sums[y0 * stride + x1 + 1] -
                               sums[(y1 + 1) * stride + x0] + sums[y0 * stride + x0];
        const double count = static_cast<double>(x1 - x0 + 1) * (y1 - y0 + 1);
        value = static_cast<float>(static_cast<double>(total) / count);
        return true;
    }
};

}  // namespace

void enhanceStarLight(AccumulationImage& image, float factor, const RegionWeight& region)
{
    if (!(factor > 0.0f) || image.channels() != 3 || image.empty())
        return;
    factor = std::max(factor, 1.0f);
    const int32_t width = image.width(), height = image.height();
    const velmem::Buffer<uint64_t> sums = buildIntegral(image);
    const BoxMeans box{sums.get(), static_cast<size_t>(width) + 1, width - 2, height - 2};
    const int32_t scaled = static_cast<int32_t>(static_cast<int64_t>(width) * 20 / 4900);
    const int32_t outerRadius = scaled > 1 ? scaled : 2;
    const int32_t innerRadius = outerRadius > 5 ? 1 : 0;
    const bool uniform = region.uniform();
    const float uniformStrength = std::max(0.0f, factor - 1.0f);

    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* row = image.row(y);
            for (int32_t x = 0; x < width; ++x) {
                uint32_t* pixel = row + static_cast<size_t>(x) * 3;
                // Cheapest rejections first: most pixels are not brighter than their surroundings.
                const float c = static_cast<float>(luminance(pixel));
                float e;
                if (c <= 0.1f || !box.mean(x, y, outerRadius, e) || e <= 0.1f)
                    continue;
                const float q = c / e;
                if (!(q >= EnhanceThreshold))
                    continue;
                float d = c;
                if (innerRadius > 0 && !box.mean(x, y, innerRadius, d))
                    continue;
                if (d <= 0.1f || !(d >= EnhanceThreshold))
                    continue;
                const float strength =
                    uniform ? uniformStrength : std::max(0.0f, factor * region.at(x, y, width) - 1.0f);
                if (strength <= 0.0f)
                    continue;
                const float gain = (q - EnhanceThreshold) * strength / q + 1.0f;
                for (int32_t channel = 0; channel < 3; ++channel)
                    pixel[channel] = velstack::roundHalfUp(gain * static_cast<float>(pixel[channel]));
            }
        }
    });
}

}  // namespace veltone
