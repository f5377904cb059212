#include "BrushMask.h"

#include <algorithm>
#include <cmath>

namespace velapp {

int32_t brushLargestIndex(int32_t screenWidth)
{
    if (screenWidth <= 1920)
        return 8;
    return screenWidth <= 2560 ? 9 : 10;
}

int32_t brushDiameter(int32_t index)
{
    const int32_t even = 16 << (std::clamp(index, 0, 20) / 2);
    return index % 2 == 0 ? even : even * 3 / 2;
}

int32_t brushIndexAfterWheel(int32_t index, int32_t wheelRotation, int32_t wheelDelta, int32_t screenWidth)
{
    int32_t steps = wheelDelta > 0 ? wheelRotation / wheelDelta : 0;
    if (steps == 0 && wheelRotation != 0)
        steps = wheelRotation > 0 ? 1 : -1;
    const int64_t moved = static_cast<int64_t>(index) + steps;
    return static_cast<int32_t>(std::clamp<int64_t>(moved, kBrushSmallestIndex, brushLargestIndex(screenWidth)));
}

int32_t brushPenWidth(int32_t index, int32_t maskWidth, int32_t displayedWidth)
{
    if (displayedWidth <= 0)
        return 1;
    const int64_t width = static_cast<int64_t>(brushDiameter(index)) * maskWidth / displayedWidth;
    return static_cast<int32_t>(std::clamp<int64_t>(width, 1, 1 << 20));
}

MaskImage blankMask(int32_t imageWidth, int32_t imageHeight)
{
    MaskImage mask;
    if (imageWidth <= 0 || imageHeight <= 0)
        return mask;
    const int32_t longer = std::max(imageWidth, imageHeight);
    mask.width = imageWidth;
    mask.height = imageHeight;
    if (longer > kMaskLongestSide) {
        const double scale = static_cast<double>(kMaskLongestSide) / longer;
        mask.width = std::max(1, static_cast<int32_t>(std::lround(imageWidth * scale)));
        mask.height = std::max(1, static_cast<int32_t>(std::lround(imageHeight * scale)));
    }
    mask.rgb.assign(static_cast<size_t>(mask.width) * mask.height * 3, 0);
    return mask;
}

void paintStroke(MaskImage& mask, float x0, float y0, float x1, float y1, float penWidth, bool erase)
{
    if (!mask.valid() || !(penWidth > 0.0f) || !std::isfinite(x0 + y0 + x1 + y1))
        return;
    const double radius = penWidth / 2.0;
    const double dx = x1 - x0;
    const double dy = y1 - y0;
    const double lengthSquared = dx * dx + dy * dy;
    const auto bound = [](double value, int32_t size) {
        return static_cast<int32_t>(std::clamp(value, 0.0, static_cast<double>(size)));
    };
    const int32_t left = bound(std::floor(std::min(x0, x1) - radius), mask.width);
    const int32_t right = bound(std::ceil(std::max(x0, x1) + radius) + 1, mask.width);
    const int32_t top = bound(std::floor(std::min(y0, y1) - radius), mask.height);
    const int32_t bottom = bound(std::ceil(std::max(y0, y1) + radius) + 1, mask.height);
    const uint8_t green = erase ? 0 : 255;
    const double radiusSquared = radius * radius;
    for (int32_t y = top; y < bottom; ++y) {
        uint8_t* row = mask.rgb.data() + static_cast<size_t>(y) * mask.width * 3;
        const double py = y + 0.5 - y0;
        for (int32_t x = left; x < right; ++x) {
            const double px = x + 0.5 - x0;
            // Distance from the pixel centre to the nearest point of the segment.
            const double t = lengthSquared > 0.0 ? std::clamp((px * dx + py * dy) / lengthSquared, 0.0, 1.0) : 0.0;
            const double ex = px - t * dx;
            const double ey = py - t * dy;
            if (ex * ex + ey * ey > radiusSquared)
                continue;
            row[x * 3] = 0;
            row[x * 3 + 1] = green;
            row[x * 3 + 2] = 0;
        }
    }
}

}  // namespace velapp
