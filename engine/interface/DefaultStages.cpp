#include "CalibrationStages.h"
#include "CompositionStages.h"
#include "FinishingStages.h"
#include "PerPixelStages.h"
#include "PollutionStage.h"
#include "RegistrationStages.h"
#include "SkyEstimateStages.h"
#include "SkyMaskStage.h"
#include "Stages.h"
#include "TrailsStages.h"

namespace velrun {

// Every stage of the run is in this build. A member left empty (a stripped-down build or a test)
// makes the run fail rather than report work it did not do.
RunStages defaultRunStages()
{
    RunStages stages;
    addSkyMaskStage(stages);
    addSkyEstimateStages(stages);
    addCalibrationStages(stages);
    addRegistrationStages(stages);
    addCompositionStages(stages);
    addPerPixelStages(stages);
    addTrailsStages(stages);
    addPollutionStage(stages);
    // Last: it asks which of the others exist.
    addFinishingStages(stages);
    return stages;
}

}  // namespace velrun
