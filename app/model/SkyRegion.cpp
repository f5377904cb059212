#include "SkyRegion.h"

#include <algorithm>
#include <cmath>

namespace velapp {

namespace {

// Liang-Barsky: the part of p0 + t (p1 - p0), t in [0, 1], inside the unit square.
std::optional<std::array<float, 4>> clipToUnitSquare(float x0, float y0, float x1, float y1)
{
    const float dx = x1 - x0;
    const float dy = y1 - y0;
    const float p[4] = {-dx, dx, -dy, dy};
    const float q[4] = {x0, 1.0f - x0, y0, 1.0f - y0};
    float enter = 0.0f;
    float leave = 1.0f;
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0f) {
            if (q[i] < 0.0f)
                return std::nullopt;
            continue;
        }
        const float t = q[i] / p[i];
        if (p[i] < 0.0f)
            enter = std::max(enter, t);
        else
            leave = std::min(leave, t);
    }
    if (enter > leave)
        return std::nullopt;
    return std::array<float, 4>{x0 + enter * dx, y0 + enter * dy, x0 + leave * dx, y0 + leave * dy};
}

}  // namespace

SkyRegionMode skyRegionMode(const SkyRegionState& sky, const RunSettings& settings)
{
    if (sky.tool == SkyTool::BoundaryLine && settings.starBoundSet())
        return SkyRegionMode::BoundaryLine;
    if (sky.tool == SkyTool::Gradient && settings.gradientSet())
        return SkyRegionMode::Gradient;
    if (sky.tool == SkyTool::Brush && sky.maskPainted)
        return SkyRegionMode::IrregularMask;
    return SkyRegionMode::None;
}

std::optional<std::array<float, 4>> lineAcrossUnitSquare(const std::array<float, 4>& line)
{
    const auto [x0, y0, x1, y1] = line;
    const float dx = x1 - x0;
    const float dy = y1 - y0;
    if (!std::isfinite(dx) || !std::isfinite(dy) || (dx == 0.0f && dy == 0.0f))
        return std::nullopt;
    if (dx == 0.0f) {
        if (x0 < 0.0f || x0 > 1.0f)
            return std::nullopt;
        return dy > 0.0f ? std::array<float, 4>{x0, 0.0f, x0, 1.0f} : std::array<float, 4>{x0, 1.0f, x0, 0.0f};
    }
    if (dy == 0.0f) {
        if (y0 < 0.0f || y0 > 1.0f)
            return std::nullopt;
        return dx > 0.0f ? std::array<float, 4>{0.0f, y0, 1.0f, y0} : std::array<float, 4>{1.0f, y0, 0.0f, y0};
    }
    // Walk the line over the full range of its steeper-changing coordinate, in its own direction.
    float from[2];
    float to[2];
    if (std::fabs(dx) > std::fabs(dy)) {
        const float startX = dx > 0.0f ? 0.0f : 1.0f;
        const float endX = 1.0f - startX;
        from[0] = startX;
        from[1] = y0 + (startX - x0) * dy / dx;
        to[0] = endX;
        to[1] = y0 + (endX - x0) * dy / dx;
    } else {
        const float startY = dy > 0.0f ? 0.0f : 1.0f;
        const float endY = 1.0f - startY;
        from[0] = x0 + (startY - y0) * dx / dy;
        from[1] = startY;
        to[0] = x0 + (endY - y0) * dx / dy;
        to[1] = endY;
    }
    auto clipped = clipToUnitSquare(from[0], from[1], to[0], to[1]);
    if (clipped && (*clipped)[0] == (*clipped)[2] && (*clipped)[1] == (*clipped)[3])
        return std::nullopt;  // touches a corner only
    return clipped;
}

std::array<float, 4> storedBoundary(const std::array<float, 4>& drawn)
{
    return lineAcrossUnitSquare(drawn).value_or(std::array<float, 4>{});
}

std::array<float, 5> storedGradient(const std::array<float, 5>& drawn)
{
    if (!(drawn[4] > 0.0f))
        return {};
    const auto line = lineAcrossUnitSquare({drawn[0], drawn[1], drawn[2], drawn[3]});
    if (!line)
        return {};
    return {(*line)[0], (*line)[1], (*line)[2], (*line)[3], drawn[4]};
}

}  // namespace velapp
