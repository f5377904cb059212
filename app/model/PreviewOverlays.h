#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "RunSettings.h"

// How each region tool marks the displayed preview: plain passes over 8-bit RGB rows (3 bytes
// per pixel, no padding) of the displayed size. Shapes are fractions of the image.
namespace velapp {

struct RgbView {
    uint8_t* pixels = nullptr;
    int32_t width = 0;
    int32_t height = 0;

    uint8_t* row(int32_t y) const { return pixels + static_cast<size_t>(y) * width * 3; }
};

// Halves the brightness on the ground side of the line (direction × offset from the start not
// negative); the sky side stays.
void shadeBoundarySide(RgbView view, const std::array<float, 4>& line);

// Halves the ground side of the gradient line, leaves the sky beyond its height as it is and
// ramps the band between.
void shadeGradient(RgbView view, const std::array<float, 5>& gradient);

// Tints the painted sky green and hatches the ground lightly; with `detailMarks` (one byte a
// pixel, from detailMarks() below) the marked pixels are highlighted instead: blue on the
// ground, green in the sky. The mask may have any size; it is sampled at the displayed size.
void shadeBrushMask(RgbView view, const MaskImage& mask, const std::vector<uint8_t>* detailMarks);

// The pixels of a smoothed copy of the display where the picture has detail (edges, stars,
// ground lights), so that painting can follow them. 1 set, 0 not; the border is never set.
std::vector<uint8_t> detailMarks(const uint8_t* smoothedRgb, int32_t width, int32_t height);

}  // namespace velapp
