#pragma once

#include "Stages.h"

namespace velrun {

// Light-pollution reduction after the brightness stages, with the run's sky regions. Add before
// the finishing stages: the brightness stage aims higher when this one will run.
void addPollutionStage(RunStages& stages);

}  // namespace velrun
