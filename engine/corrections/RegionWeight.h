#pragma once

#include <cstddef>
#include <cstdint>

#include "integration/GradientRamp.h"

namespace veltone {

// Where a finishing stage takes effect, per pixel of the accumulation image: the soft sky mask
// (one value per pixel, 65535 full sky) when given, else the gradient ramp when its width is at
// least 1, else 1 everywhere. Borrowed views; read concurrently by the stage's jobs.
struct RegionWeight {
    const uint16_t* skyMask = nullptr;  // width × height values of the image being processed
    const velstack::GradientRamp* ramp = nullptr;

    bool uniform() const { return !skyMask && !(ramp && ramp->width() >= 1.0f); }

    float at(int32_t x, int32_t y, int32_t width) const
    {
        if (skyMask)
            return static_cast<float>(skyMask[static_cast<size_t>(y) * width + x]) / 65535.0f;
        if (ramp && ramp->width() >= 1.0f)
            return ramp->weightAt(x, y);
        return 1.0f;
    }
};

}  // namespace veltone
