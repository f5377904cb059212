#pragma once

#include "corrections/RegionWeight.h"
#include "corrections/ToneState.h"

namespace veltone {

// "Enhance star light": brightens pixels whose luminance stands out of its surroundings (box
// means over an integral image of luminance), with strength max(0, factor·region − 1). Factors
// in (0, 1) count as 1 (no effect); factor ≤ 0 does nothing. Three-channel images only. The
// caller makes the soft sky mask before passing it in `region`.
void enhanceStarLight(AccumulationImage& image, float factor, const RegionWeight& region = {});

// Ratio of a pixel's luminance to its surroundings below which nothing is enhanced.
constexpr float EnhanceThreshold = 1.05f;

}  // namespace veltone
