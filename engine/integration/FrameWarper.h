#pragma once

#include <cstdint>

#include "image/ImageTypes.h"
#include "integration/AccumulationArithmetic.h"
#include "integration/GradientRamp.h"
#include "integration/WarpModel.h"

namespace velstack {

// Resampling of a 16-bit frame into the reference geometry under an explicit WarpModel, row
// bands on the process pool. Each call is made from the pipeline's thread; the frame, model and
// ramp are only read. Every call returns false without writing anything when its inputs do not
// fit (wrong channel count, unusable model).

// Second-pass flag word bits (fourth channel of the aligned frame).
constexpr uint16_t SkyFlag = 1;      // the source's mask channel is non-zero (always set without a mask)
constexpr uint16_t CoveredFlag = 2;  // the frame covers the pixel

// Adds a three-channel frame to the accumulation image (allocated and cleared at the frame's size
// when empty), each pixel's sample and weight scaled by the ramp when one is given. Raises the
// maximum weight to the largest pixel weight and clears the normalised flag.
bool accumulateFrame(const velimage::Image<uint16_t>& frame, const WarpModel& model, AccumulationImage& target,
                     const GradientRamp* ramp = nullptr);

// Four-channel aligned frame for the second pass: RGB samples and the flag word. With
// `maskAttached` the source must have four channels and its fourth is interpolated as the sky
// mask; otherwise the source has three (or more) channels and SkyFlag is always set. The target is
// allocated at the source's size when empty.
bool warpForSecondPass(const velimage::Image<uint16_t>& frame, const WarpModel& model,
                       velimage::Image<uint16_t>& target, bool maskAttached);

// The same with the sky mask as a plane of its own (one value per frame pixel, the frame's size):
// the result equals warping the frame with the mask attached as its fourth channel, without the
// four-channel copy of the frame.
bool warpForSecondPass(const velimage::Image<uint16_t>& frame, const velimage::Image<uint16_t>& mask,
                       const WarpModel& model, velimage::Image<uint16_t>& target);

// Three-channel aligned frame for "Align only": samples where the frame covers the pixel, zeros
// elsewhere. The target is allocated at the source's size when empty.
bool warpForAlignOnly(const velimage::Image<uint16_t>& frame, const WarpModel& model,
                      velimage::Image<uint16_t>& target);

}  // namespace velstack
