#pragma once

#include <cstdint>
#include <vector>

#include "image/Image.h"
#include "skymask/HorizonRefinement.h"
#include "skymask/LuminancePlane.h"

namespace velmask {

// One frame's contribution to the estimate: its reduced luminance and, once registration aligned
// it, the affine map of its pixel (x, y) to the base frame's (full-size pixels, the report's layout).
struct SkySample {
    LuminancePlane plane;
    LuminancePlane fine;  // the base frame's alone: its fineLuminance, for the horizon
    bool aligned = false;
    double toBase[6] = {1, 0, 0, 0, 1, 0};
};

// More frames add little to the estimate but time: a run keeps every k-th frame beyond this many.
constexpr size_t MaxSkySamples = 6;

enum class SkyEstimate {
    Estimated,     // sky and ground told apart (a sky-only series gives all sky)
    NoStarMotion,  // no aligned frame, no star seen moving, or too little motion: all ground
};

// Where the sky is in the base frame, from how the frames change: the ground stays fixed in the
// camera while the stars turn, so a pixel whose high-pass detail agrees across the frames as
// shot but not after star alignment (in every frame that moves far) is ground, and the reverse
// is sky; ground seeds on the sky's side of the horizon's edge are dropped. Those seeds are grown
// over the frames' star-free camera median, the horizon (its strongest edge) being crossed last;
// a second round repeats the star-aligned comparison without samples that came from the
// first round's ground, which would otherwise mark the sky just above the horizon as ground;
// stray patches (grown from a dot of seeds, ground with too few of them, sky as dark as the
// ground) are turned over.
// `samples` starts with the base frame's; with its `fine` plane the horizon is redrawn on that
// plane's finer grid. Fills `mask` (width × height, one channel, 0 ground .. 65535 sky, a soft
// edge a few pixels wide on the sky's side, 0 on all the ground) and, when given, `twin` in the
// same pass with the sharp mask of the same sky (65535 wherever `mask` is not 0): a run's soft sky
// mask blurs partial values near the horizon into the ground. Runs on the caller's thread with its
// pixel passes on the process pool; the result does not depend on the thread count.
SkyEstimate estimateSkyMask(const std::vector<SkySample>& samples, int32_t width, int32_t height,
                            velimage::Image16& mask, velimage::Image16* twin = nullptr);

// The estimate before it is drawn: sky and ground labels on a grid of factor × factor frame pixels
// (all ground when there are none).
struct SkyLabels {
    std::vector<int8_t> labels;
    int32_t width = 0;
    int32_t height = 0;
    int32_t factor = 1;
};

// estimateSkyMask in two steps, so that a mask nobody reads is never drawn.
SkyEstimate estimateSkyLabels(const std::vector<SkySample>& samples, SkyLabels& estimate);
// Draws the estimate at width × height: `soft` as estimateSkyMask's mask, `sharp` as its twin,
// either one or both (in one pass).
void drawSkyMask(const SkyLabels& estimate, int32_t width, int32_t height, velimage::Image16* soft,
                 velimage::Image16* sharp);

}  // namespace velmask
