#pragma once

#include "Stages.h"

namespace velrun {

// The painted sky mask scaled and turned onto the reference frame, and its soft sky mask.
void addSkyMaskStage(RunStages& stages);

}  // namespace velrun
