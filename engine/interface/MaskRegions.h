#pragma once

#include <cstdint>

#include "EngineSettings.h"

namespace velrun {

// Rotation code of a RAW reference from its Orientation entry: 3 → 2, 6 → 1, 8 → 3, else 0.
int32_t rotationFromOrientation(int32_t orientation);

// A line (x0, y0, dx, dy) given as fractions of the image, turned by rotation code r and
// converted to pixels of a width × height frame.
void lineToPixels(const float fraction[4], int32_t r, int32_t width, int32_t height, int32_t pixels[4]);

// The star bound and gradient region of the settings in pixels of this frame: the fractional
// form when it has a non-zero width or height, else the pixel form as set.
void regionsForFrame(const EngineSettings& settings, int32_t r, int32_t width, int32_t height, int32_t starBound[4],
                     int32_t gradient[4], int32_t& gradientExtent);

}  // namespace velrun
