#pragma once

#include "Stages.h"

namespace velrun {

// The painted sky mask scaled and turned onto the reference frame, and its soft sky mask.
void addSkyMaskStage(RunStages& stages);

// The soft sky mask made with q = 20 at the accumulation image's size, made from ctx.mask the
// first time a finishing stage asks in this run and kept after that (also across outputs of the
// same size); null without a mask of that size.
const velimage::Image16* finishingSoftMask(RunContext& ctx);

// A one-value-per-pixel mask of the stored frame turned into display orientation (rotation code
// of the reference), into `shown`: the form the host paints and reads.
void turnToDisplay(const velimage::Image16& mask, int32_t rotation, velimage::Image16& shown);

}  // namespace velrun
