#include "PreviewShapes.h"

#include <cmath>

namespace velapp {

std::array<float, 4> boundaryFromDrag(DisplayPoint start, DisplayPoint current, int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return {};
    const float w = static_cast<float>(width);
    const float h = static_cast<float>(height);
    return {start.x / w, start.y / h, current.x / w, current.y / h};
}

std::array<float, 5> gradientFromDrag(DisplayPoint start, DisplayPoint end, int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return {};
    const float w = static_cast<float>(width);
    const float h = static_cast<float>(height);
    const float dx = static_cast<float>(end.x - start.x);
    const float dy = static_cast<float>(end.y - start.y);
    return {end.x / w, end.y / h, (end.x + dy) / w, (end.y - dx) / h, std::sqrt(dx * dx + dy * dy) / h};
}

}  // namespace velapp
