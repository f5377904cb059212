#pragma once

#include <cstdint>

#include "RunSettings.h"

// The brush's sizes and the painted mask it draws on: 8-bit RGB, sky painted green on black, at
// most 3840 px on its longer side whatever the image size. UI thread only.
namespace velapp {

inline constexpr int32_t kBrushSmallestIndex = 1;
inline constexpr int32_t kBrushDefaultIndex = 7;
inline constexpr int32_t kMaskLongestSide = 3840;

// Wider screens get one or two larger brushes.
int32_t brushLargestIndex(int32_t screenWidth);
// Brush diameter in window pixels: doubles every two steps, odd steps half-way (7 gives 192).
int32_t brushDiameter(int32_t index);
// The size index after `wheelRotation` (in units where one step is `wheelDelta`); any rotation
// moves at least one step.
int32_t brushIndexAfterWheel(int32_t index, int32_t wheelRotation, int32_t wheelDelta, int32_t screenWidth);
// The pen width in mask pixels for a mask shown `displayedWidth` wide.
int32_t brushPenWidth(int32_t index, int32_t maskWidth, int32_t displayedWidth);

// An unpainted mask for an image of the given full size, reduced to the longest side allowed.
MaskImage blankMask(int32_t imageWidth, int32_t imageHeight);

inline bool isPainted(const MaskImage& mask, int32_t x, int32_t y)
{
    return mask.rgb[(static_cast<size_t>(y) * mask.width + x) * 3 + 1] >= 128;
}

// A line of round-capped `penWidth` between two points in mask pixels (pixel centres at +0.5),
// painting sky or, with `erase`, ground.
void paintStroke(MaskImage& mask, float x0, float y0, float x1, float y1, float penWidth, bool erase);

}  // namespace velapp
