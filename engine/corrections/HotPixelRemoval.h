#pragma once

#include <cstdint>

#include "image/Image.h"

namespace veltone {

// "Remove dynamic noises": finds single-pixel, strongly coloured spikes of a three-channel 16-bit
// frame against its detection image (the brightest channel of each pixel) and replaces each
// channel of their inner 3 × 3 block by the ring fit. Returns the number of pixels replaced;
// frames that are not three-channel are left alone (0). Detection runs in row bands on the pool;
// the patches follow in row order, so the result does not depend on the thread count.
int64_t removeHotPixels(velimage::Image16& frame);

}  // namespace veltone
