#pragma once

#include "Stages.h"

namespace velrun {

// Noise and vignetting images, noise subtraction, dynamic hot-pixel removal, the flat field of
// frames and of the trails result, and the exposure measure and scaling. The calibration images
// belong to the stages made by one call (one run).
void addCalibrationStages(RunStages& stages);

}  // namespace velrun
