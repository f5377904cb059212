#include "corrections/MergePixels.h"

#include <algorithm>

#include "integration/AccumulationArithmetic.h"
#include "parallel/ProcessPool.h"

namespace veltone {

bool mergePixels(AccumulationImage& image, ToneState& state)
{
    const int32_t width = image.width() / 2, height = image.height() / 2;
    if (image.channels() != 3 || width < 1 || height < 1 || !image.weights())
        return false;
    const float maxWeight = image.maxWeight();
    if (!image.normalized() && maxWeight != 0.0f)
        velstack::normalize(image);

    velimage::Image<uint32_t> merged;
    merged.allocate(width, height, 3);
    velthread::parallelRows(height, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint32_t* top = image.row(2 * y);
            const uint32_t* bottom = image.row(2 * y + 1);
            uint32_t* out = merged.row(y);
            for (int32_t i = 0; i < width * 3; ++i) {
                const int32_t left = (i / 3) * 6 + i % 3;
                const uint64_t sum = static_cast<uint64_t>(top[left]) + top[left + 3] + bottom[left] + bottom[left + 3];
                out[i] = static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
            }
        }
    });
    auto metadata = image.takeMetadata();
    image.allocate(width, height, 3);
    image.swapContent(merged);
    image.setMetadata(std::move(metadata));
    velstack::setWeights(image, 4.0f * maxWeight);

    state.frameCount *= 4;
    state.exposureFactor *= 4.0f;
    return true;
}

}  // namespace veltone
