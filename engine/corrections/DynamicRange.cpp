#include "corrections/DynamicRange.h"

#include <algorithm>
#include <vector>

#include "corrections/ToneTable.h"
#include "integration/SampleRounding.h"
#include "parallel/ProcessPool.h"

namespace veltone {

namespace {

constexpr float WhiteF = 16777215.0f;

uint32_t largestSample(const AccumulationImage& image)
{
    std::vector<uint32_t> partMaximum(static_cast<size_t>(velthread::partCount()), 0);
    const size_t rowElements = image.rowElements();
    velthread::parallelRows(image.height(), [&](int32_t part, int32_t begin, int32_t end) {
        uint32_t maximum = 0;
        for (int32_t y = begin; y < end; ++y) {
            const uint32_t* row = image.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                maximum = std::max(maximum, row[i]);
        }
        partMaximum[static_cast<size_t>(part)] = std::max(partMaximum[static_cast<size_t>(part)], maximum);
    });
    return *std::max_element(partMaximum.begin(), partMaximum.end());
}

}  // namespace

void adjustDynamicRange(AccumulationImage& image, ToneState& state, bool autoBrightness)
{
    if (image.empty())
        return;
    if (autoBrightness && state.workingScale) {
        ToneTable(ToneCurve::HighDynamicRange).apply(image);
        return;
    }
    const uint32_t largest = std::max<uint32_t>(1, largestSample(image));
    float limit = std::max(4.0f, static_cast<float>(state.frameCount));
    if (!state.workingScale)
        limit *= 256.0f;
    const float gain = std::min(limit, WhiteF / static_cast<float>(largest));
    const size_t rowElements = image.rowElements();
    velthread::parallelRows(image.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint32_t* row = image.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                row[i] = velstack::roundHalfUp(std::min(WhiteF, static_cast<float>(row[i]) * gain));
        }
    });
    state.workingScale = true;
    state.exposureFactor *= gain;
}

}  // namespace veltone
