#pragma once

#include "Stages.h"

namespace velrun {

// Start of the accumulation image, warping and adding star-aligned frames ("Accumulation"), and
// the aligned frames of "Align only": the composition members of `stages`. The per-pixel
// integration modes and trails are not among them.
void addCompositionStages(RunStages& stages);

}  // namespace velrun
