#include "Stages.h"

namespace velrun {

// Filled as the subsystems behind the stages arrive; an empty member is a stage this build
// cannot perform, and the run reports it so.
RunStages defaultRunStages() { return RunStages{}; }

}  // namespace velrun
