#pragma once

#include "Stages.h"

namespace velrun {

// "Select best pixels" and "Freeze ground": the entries each frame leaves in the integration
// store, the preparation of the base, the pass jobs over the store's bands and the finishing
// pass of "Freeze ground" — the two-pass members of `stages`.
void addPerPixelStages(RunStages& stages);

}  // namespace velrun
