#pragma once

#include <cstdint>

#include "image/ImageTypes.h"

namespace veltone {

using velimage::AccumulationImage;

// What the finishing stages of one output carry from stage to stage. Owned by the run pipeline.
struct ToneState {
    // The image is in the 256× working scale (white 0xFFFFFF).
    bool workingScale = false;
    // Frames integrated; merging 2 × 2 multiplies it by 4.
    int64_t frameCount = 1;
    // Product of every gain applied after integration.
    float exposureFactor = 1.0f;
};

// Changes the image to the working scale unless the state says it already is.
void ensureWorkingScale(AccumulationImage& image, ToneState& state);

}  // namespace veltone
