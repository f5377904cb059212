#include "PreviewFit.h"

#include <algorithm>
#include <cmath>

namespace velapp {

PreviewFit fitPreview(int32_t clientWidth, int32_t clientHeight, int32_t imageWidth, int32_t imageHeight)
{
    PreviewFit fit;
    if (clientWidth <= 0 || clientHeight <= 0 || imageWidth <= 0 || imageHeight <= 0)
        return fit;
    // Two per cent of the smaller side, never more than 20 px.
    const auto hundredth = [](int32_t size) { return static_cast<int32_t>(std::lround(size / 100.0)); };
    fit.margin = 2 * std::min({hundredth(clientWidth), hundredth(clientHeight), int32_t{10}});
    const double free[2] = {static_cast<double>(clientWidth - fit.margin), static_cast<double>(clientHeight - fit.margin)};
    if (free[0] <= 0.0 || free[1] <= 0.0)
        return fit;
    fit.scale = std::min(free[0] / imageWidth, free[1] / imageHeight);
    fit.width = static_cast<int32_t>(imageWidth * fit.scale);
    fit.height = static_cast<int32_t>(imageHeight * fit.scale);
    fit.offsetX = (clientWidth - fit.width) / 2;
    fit.offsetY = (clientHeight - fit.height) / 2;
    return fit;
}

}  // namespace velapp
