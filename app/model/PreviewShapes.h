#pragma once

#include <array>
#include <cstdint>

// The region shapes a drag in the preview makes, as fractions of the image (x of its width, y of
// its height), from points in displayed pixels.
namespace velapp {

struct DisplayPoint {
    int32_t x = 0;
    int32_t y = 0;
};

// The boundary line from the drag's start to its current point, in that direction.
std::array<float, 4> boundaryFromDrag(DisplayPoint start, DisplayPoint current, int32_t width, int32_t height);

// The gradient line runs through the drag's end, across the drag; its height (a fraction of the
// image height) is the drag's length, so the ramp rises back towards the start.
std::array<float, 5> gradientFromDrag(DisplayPoint start, DisplayPoint end, int32_t width, int32_t height);

inline bool hasTwoPoints(const std::array<float, 4>& line) { return line[0] != line[2] || line[1] != line[3]; }
inline bool hasGradient(const std::array<float, 5>& g) { return (g[0] != g[2] || g[1] != g[3]) && g[4] > 0.0f; }

}  // namespace velapp
