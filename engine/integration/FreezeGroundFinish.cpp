#include "integration/FreezeGroundFinish.h"

#include <algorithm>

#include "integration/AccumulationArithmetic.h"
#include "parallel/ProcessPool.h"

namespace velstack {

namespace {

uint32_t finishedValue(uint32_t v[5], uint32_t own, float weight)
{
    std::sort(v, v + 5);
    const uint32_t median = v[2];
    if (weight == 0.0f)
        return median;
    // The pixel's own value, pulled in from the extremes of its cross.
    if (own == v[0])
        own = v[1];
    else if (own == v[4])
        own = v[3];
    const double x = weight;
    return static_cast<uint32_t>((1.0 - x) * median + x * own);
}

}  // namespace

void finishFreezeGround(velimage::AccumulationImage& image)
{
    if (image.empty() || !image.weights())
        return;
    const int32_t width = image.width(), height = image.height(), channels = image.channels();
    velimage::Image<uint32_t> result;
    result.allocate(width, height, channels);
    const velimage::AccumulationImage& source = image;
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint32_t* above = source.row(std::max(0, y - 1));
            const uint32_t* here = source.row(y);
            const uint32_t* below = source.row(std::min(height - 1, y + 1));
            const float* weights = source.weightRow(y);
            uint32_t* out = result.row(y);
            for (int32_t x = 0; x < width; ++x) {
                const size_t at = static_cast<size_t>(x) * channels;
                if (weights[x] == 1.0f) {
                    std::copy_n(here + at, channels, out + at);
                    continue;
                }
                const size_t left = static_cast<size_t>(std::max(0, x - 1)) * channels;
                const size_t right = static_cast<size_t>(std::min(width - 1, x + 1)) * channels;
                for (int32_t k = 0; k < channels; ++k) {
                    uint32_t cross[5] = {here[at + k], above[at + k], below[at + k], here[left + k], here[right + k]};
                    out[at + k] = finishedValue(cross, here[at + k], weights[x]);
                }
            }
        }
    });
    image.swapContent(result);
    setWeights(image, 1.0f);
    image.setNormalized(true);
}

}  // namespace velstack
