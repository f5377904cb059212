#pragma once

#include <cstdint>

#include "image/Image.h"
#include "image/ImageTypes.h"
#include "integration/GradientRamp.h"

namespace veltone {

// How the correction runs: kind 1 "Deep sky" (one bilinear surface), kind 2 "Uneven" (a 12 × 12
// grid), strength −2..+2, the aggressive variant of kind 2 and the output colour space.
struct PollutionOptions {
    int32_t kind = 0;
    int32_t strength = 0;
    bool aggressive = false;
    int32_t colorSpace = 0;
    // Kind 2 smooths its background by box means on whole numbers; off, it takes the same smoothing
    // in closed form, many times faster and at most a unit or two of the working scale apart.
    bool exactSmoothing = false;
};

// Where the sky is, in pixels of the image being corrected. Borrowed; any member may be absent.
struct PollutionRegion {
    const velimage::Image16* skyMask = nullptr;   // painted mask, one plane, non-zero = sky
    const velimage::Image16* softMask = nullptr;  // soft sky mask, one plane, 65535 = full sky
    bool hasStarBound = false;
    int32_t starBound[4] = {0, 0, 0, 0};  // line x0, y0, dx, dy; the sky lies where the cross product > 0
    const velstack::GradientRamp* ramp = nullptr;

    bool onSkySide(int64_t x, int64_t y) const
    {
        return (x - starBound[0]) * starBound[3] - (y - starBound[1]) * starBound[2] > 0;
    }
};

// "Reduce light pollution" on a three-channel image in the working scale: estimates the sky
// background per channel from the darker part of local histograms and maps every pixel so that
// the background lands on the target level while white stays white. True when a correction was
// applied; a region with too little sky, an image already darker than the target, or one that is
// not three-channel is left unchanged. Pixel work runs on the process pool; call from one thread.
bool reduceLightPollution(velimage::AccumulationImage& image, const PollutionOptions& options,
                          const PollutionRegion& region = {});

// The two kinds, for callers that already chose.
bool reduceDeepSkyPollution(velimage::AccumulationImage& image, const PollutionOptions& options,
                            const PollutionRegion& region);
bool reduceUnevenPollution(velimage::AccumulationImage& image, const PollutionOptions& options,
                           const PollutionRegion& region);

// The smoothed background kind 2 takes from `image` (three channels, its size), without changing
// the image; false where the correction would leave the image alone for want of sky.
bool unevenPollutionBackground(const velimage::AccumulationImage& image, const PollutionOptions& options,
                               const PollutionRegion& region, velimage::AccumulationImage& background);

}  // namespace veltone
