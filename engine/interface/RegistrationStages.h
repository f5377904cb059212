#pragma once

#include "Stages.h"
#include "registration/Matrix.h"

namespace velrun {

// Star analysis, identity inheritance and alignment: the registration members of `stages`.
void addRegistrationStages(RunStages& stages);

// The report's frame-to-reference mapping (x′ = t0·x + t1·y + t2, y′ = t3·x + t4·y + t5) in
// pixels from a fitted 3 × 3 forward matrix; the radial model fits about the frame centre.
void reportedTransform(const velreg::MatrixF& forward, int32_t distortionMode, int32_t width, int32_t height,
                       double transform[6]);

}  // namespace velrun
