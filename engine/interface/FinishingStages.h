#pragma once

#include "Stages.h"

namespace velrun {

// Normalising, the tone stages, the over-exposure rule's parts, the final conversion and the
// writer: the finishing members of `stages`. Call after every other subsystem was added, since
// the brightness stage aims higher only when light-pollution reduction can run.
void addFinishingStages(RunStages& stages);

}  // namespace velrun
