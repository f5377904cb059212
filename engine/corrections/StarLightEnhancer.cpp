#include "corrections/StarLightEnhancer.h"

#include <algorithm>
#include <memory>

#include "image/IntegralImage.h"
#include "integration/SampleRounding.h"
#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

inline uint64_t luminance(const uint32_t* pixel)
{
    return (static_cast<uint64_t>(pixel[0]) + pixel[1] + pixel[2]) / 3;
}

// Mean luminance over the box of radius r about (x, y), the box never reaching the last column or
// row (W − 2, H − 2); false when that leaves it empty.
struct BoxMeans {
    const velimage::IntegralImage& sums;
    int32_t lastColumn, lastRow;

    bool mean(int32_t x, int32_t y, int32_t r, float& value) const
    {
        const velimage::IntegralImage::Box box = velimage::IntegralImage::clippedBox(x, y, r, lastColumn, lastRow);
        if (box.empty())
            return false;
        value = static_cast<float>(static_cast<double>(sums.sum(box)) / static_cast<double>(box.pixels()));
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
    velimage::IntegralImage sums;
    sums.buildFrom(width, height, [&image](int32_t y) {
        const uint32_t* row = image.row(y);
        return [row](int32_t x) { return luminance(row + static_cast<size_t>(x) * 3); };
    });
    const BoxMeans box{sums, width - 2, height - 2};
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
