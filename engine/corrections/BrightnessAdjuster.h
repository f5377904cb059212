#pragma once

#include <cstdint>

#include "corrections/ToneState.h"

namespace veltone {

struct BrightnessOptions {
    bool reducing = false;            // the over-exposure fix rather than "Auto brightness"
    bool pollutionReduction = false;  // light-pollution reduction will run: aim brighter
    bool highDynamicRange = false;    // "High dynamic range" is on: protect fewer highlights
};

// One gain for the whole image from its luminance quantiles: median to 0.1 (0.16) of white,
// capped by max(3, 2n) and by the highlight quantile reaching white. Leaves the image in the
// working scale and multiplies the exposure factor by the gain.
void adjustBrightness(AccumulationImage& image, ToneState& state, const BrightnessOptions& options);

// Over-exposure rule after a plain accumulation: changes to the working scale, and runs the
// reducing brightness when more than one pixel in eight is over-exposed. True when it ran.
bool applyOverExposureRule(AccumulationImage& image, ToneState& state, bool pollutionReduction);

// Luminance (R + G + B) / 3 at quantile p (rank floor(p·N) of the sorted values, clamped to N − 1).
// Exact whatever the thread count. Returns 0 for an empty image.
uint32_t luminanceQuantile(const AccumulationImage& image, double p);

}  // namespace veltone
