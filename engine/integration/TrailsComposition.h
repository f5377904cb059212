#pragma once

#include <cstdint>

#include "corrections/RegionWeight.h"
#include "image/Image.h"
#include "image/ImageTypes.h"

namespace velstack {

// Fades a frame toward the base frame for the motion effect: every sample c becomes
// (remaining·c + done·b + r) / (remaining + done), r = (remaining + done) / 2 − 1, with b the base
// sample. `done` counts the frames composed so far (the base included), `remaining` the images
// still to come. Frames of another shape, or no images at all, are left alone (false).
bool blendTowardBase(velimage::Image16& frame, const velimage::Image16& base, int32_t done, int32_t remaining);

// Keeps, per pixel and channel, the brighter of the composite and the frame, the frame's samples
// first scaled by the region weight (soft sky mask or gradient ramp; uniform: unscaled). The
// composite's weights are untouched. False for a frame of another size or channel count.
bool composeTrailFrame(velimage::AccumulationImage& composite, const velimage::Image16& frame,
                       const veltone::RegionWeight& region);

}  // namespace velstack
