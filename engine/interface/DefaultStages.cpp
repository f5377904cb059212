#include "CompositionStages.h"
#include "FinishingStages.h"
#include "PollutionStage.h"
#include "RegistrationStages.h"
#include "SkyMaskStage.h"
#include "Stages.h"

namespace velrun {

// Calibration images, hot pixels, exposure unification, the per-pixel integration
// modes and trails are not in this build: their members stay empty
// and the run reports those stages as not done.
RunStages defaultRunStages()
{
    RunStages stages;
    addSkyMaskStage(stages);
    addRegistrationStages(stages);
    addCompositionStages(stages);
    addPollutionStage(stages);
    // Last: it asks which of the others exist.
    addFinishingStages(stages);
    return stages;
}

}  // namespace velrun
