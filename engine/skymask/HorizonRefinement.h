#pragma once

#include <cstdint>
#include <vector>

#include "skymask/LuminancePlane.h"

namespace velmask {

constexpr int8_t GroundLabel = -1;
constexpr int8_t SkyLabel = 1;

// For each row of a w × h plane of labels, its label where the whole row has it, else 0.
std::vector<int8_t> rowLabels(const std::vector<int8_t>& labels, int32_t w, int32_t h);

// Block size of the finer plane for planes reduced by `planeFactor` (no finer when not smaller).
int32_t refinementFactor(int32_t planeFactor);

// The base frame's finer plane that redraws the horizon of an estimate made on planes reduced by
// `planeFactor`: blocks half as large, each read in its middle row (the brightness of a sky or a
// ground a few rows across, not their texture). Empty where there is nothing finer to draw with.
LuminancePlane fineLuminance(const velimage::Image16& frame, int32_t planeFactor);

// Sky and ground labels on the grid of `fine` (the base frame reduced by refinementFactor): each
// fine pixel takes its plane pixel's label from `labels` (the plane of `base`, the base frame
// reduced by the coarse factor), except near the horizon, where the base frame's brightness
// decides. Ground grows from the coarse ground into the sky through fine pixels on the ground's
// side of the local sky and ground levels, up to a few plane pixels, so that peaks, masts and
// trees narrower than a plane pixel stay ground; sky grows into the coarse ground's edge the same
// way. Where sky and ground are about as bright, the coarse label stays. Empty when `fine` is
// no finer than `base`. Runs on the caller's thread with some of its steps on the process pool.
std::vector<int8_t> refineHorizon(const std::vector<int8_t>& labels, const LuminancePlane& base,
                                  const LuminancePlane& fine);

}  // namespace velmask
