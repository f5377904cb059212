#include "CalibrationStages.h"
#include "CompositionStages.h"
#include "FinishingStages.h"
#include "PerPixelStages.h"
#include "PollutionStage.h"
#include "RegistrationStages.h"
#include "SkyMaskStage.h"
#include "Stages.h"

namespace velrun {

// Trails are not in this build: their member stays empty and a trails run fails rather than
// report work it did not do.
RunStages defaultRunStages()
{
    RunStages stages;
    addSkyMaskStage(stages);
    addCalibrationStages(stages);
    addRegistrationStages(stages);
    addCompositionStages(stages);
    addPerPixelStages(stages);
    addPollutionStage(stages);
    // Last: it asks which of the others exist.
    addFinishingStages(stages);
    return stages;
}

}  // namespace velrun
