#pragma once

#include <cstdint>

namespace velimage {

// Largest frame the readers accept: 2^17 pixels a side and 2^30 pixels in all, far beyond any
// camera and small enough that hostile headers cannot ask for absurd buffers.
constexpr int64_t kMaxImageSide = int64_t{1} << 17;
constexpr int64_t kMaxImagePixels = int64_t{1} << 30;

inline bool saneDimensions(int64_t width, int64_t height)
{
    return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide &&
           width * height <= kMaxImagePixels;
}

}  // namespace velimage
