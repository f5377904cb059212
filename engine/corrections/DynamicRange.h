#pragma once

#include "corrections/ToneState.h"

namespace veltone {

// "High dynamic range". After "Auto brightness" (working scale set) it compresses the highlights
// with the curve t^(1/1.2); otherwise it scales the brightest sample to white, at most by
// max(4, n) (× 256 before the working scale), and records the gain in the exposure factor.
void adjustDynamicRange(AccumulationImage& image, ToneState& state, bool autoBrightness);

}  // namespace veltone
