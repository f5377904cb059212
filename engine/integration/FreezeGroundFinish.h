#pragma once

#include "image/ImageTypes.h"

namespace velstack {

// The last step of "Freeze ground": every pixel whose weight is below 1 (ground, and sky that not
// every frame covered) is replaced by the median of its cross of five, blended back towards its own
// value by its weight; pixels of weight 1 stay. Afterwards every weight is 1. Row bands on the
// process pool; called from the pipeline's thread.
void finishFreezeGround(velimage::AccumulationImage& image);

}  // namespace velstack
