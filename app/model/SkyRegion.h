#pragma once

#include <array>
#include <optional>

#include "RunSettings.h"

// The sky region as the options see it: the preview's chosen tool, whether a mask is painted, and
// the shapes the preview hands over. UI thread only.
namespace velapp {

// The preview's region tools; the numbers are the preview's tool numbers.
enum class SkyTool : int { None = 0, BoundaryLine = 1, Gradient = 2, Brush = 3 };

struct SkyRegionState {
    SkyTool tool = SkyTool::Brush;
    bool maskPainted = false;
    bool highlight = false;  // "Auxiliary highlight" of the painted area
    bool estimating = false;  // the mask is being estimated from the frames
};

// The region a run uses: the chosen tool's shape when it exists, none otherwise.
SkyRegionMode skyRegionMode(const SkyRegionState& sky, const RunSettings& settings);
inline bool usableSkyRegion(const SkyRegionState& sky, const RunSettings& settings)
{
    return skyRegionMode(sky, settings) != SkyRegionMode::None;
}

// The line through (x0, y0) and (x1, y1) extended across the unit square and clipped to it, in
// the same direction. Empty when the points coincide or the line misses the square.
std::optional<std::array<float, 4>> lineAcrossUnitSquare(const std::array<float, 4>& line);

// What the settings store for a shape drawn in the preview (fractions of the image): the line
// extended across the image, all zeros when it has no extent or misses the image.
std::array<float, 4> storedBoundary(const std::array<float, 4>& drawn);
std::array<float, 5> storedGradient(const std::array<float, 5>& drawn);

}  // namespace velapp
