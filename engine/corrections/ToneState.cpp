#include "corrections/ToneState.h"

#include "integration/AccumulationArithmetic.h"

namespace veltone {

void ensureWorkingScale(AccumulationImage& image, ToneState& state)
{
    if (state.workingScale)
        return;
    velstack::toWorkingScale(image);
    state.workingScale = true;
}

}  // namespace veltone
