#include "CalibrationStages.h"
#include "CompositionStages.h"
#include "FinishingStages.h"
#include "PerPixelStages.h"
#include "RegistrationStages.h"
#include "SkyMaskStage.h"
#include "Stages.h"

namespace velrun {

// Trails and light-pollution reduction are not in this build: their members stay empty and the
// run reports those stages as not done (a run whose composition stage is missing fails).
RunStages defaultRunStages()
{
    RunStages stages;
    addSkyMaskStage(stages);
    addCalibrationStages(stages);
    addRegistrationStages(stages);
    addCompositionStages(stages);
    addPerPixelStages(stages);
    // Last: it asks which of the others exist.
    addFinishingStages(stages);
    return stages;
}

}  // namespace velrun
