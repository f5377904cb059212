#pragma once

#include "Stages.h"

namespace velrun {

// The sky mask estimated from the frames of the walk: their reduced copies and transforms.
void addSkyEstimateStages(RunStages& stages);

}  // namespace velrun
