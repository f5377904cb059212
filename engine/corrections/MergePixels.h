#pragma once

#include "corrections/ToneState.h"

namespace veltone {

// "Merge 4 pixels": normalises, then replaces the image by one of half width and height (integer
// halving, the odd last column and row dropped) whose samples are the plain sums of each 2 × 2
// block (saturating at 2^32 − 1), with every weight 4 × the former maximum. Multiplies the frame
// count and the exposure factor by 4. The caller halves its region coordinates (see
// GradientRamp::halved) and rescales its sky mask. False, with nothing changed, for images that
// are not three-channel or would become empty.
bool mergePixels(AccumulationImage& image, ToneState& state);

}  // namespace veltone
