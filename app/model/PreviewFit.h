#pragma once

#include <cstdint>

// Where a preview image sits in its window: reduced to fit inside a small margin, centred.
namespace velapp {

struct PreviewFit {
    int32_t margin = 0;
    double scale = 0.0;
    int32_t width = 0;  // displayed size in window pixels
    int32_t height = 0;
    int32_t offsetX = 0;  // top left corner of the image in the window
    int32_t offsetY = 0;

    bool empty() const { return width <= 0 || height <= 0; }
};

// The image of `imageWidth` × `imageHeight` in a client area of `clientWidth` × `clientHeight`.
// Empty when either has no area or the margin leaves no room.
PreviewFit fitPreview(int32_t clientWidth, int32_t clientHeight, int32_t imageWidth, int32_t imageHeight);

}  // namespace velapp
