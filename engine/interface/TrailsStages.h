#pragma once

#include "Stages.h"

namespace velrun {

// Star trails: each frame, unaligned, kept at its brightest over the composite, faded toward the
// base with the motion effect and limited to the sky by the sky region.
void addTrailsStages(RunStages& stages);

}  // namespace velrun
