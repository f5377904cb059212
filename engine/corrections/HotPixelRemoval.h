#pragma once

#include <cstdint>

#include "corrections/FlatField.h"
#include "image/Image.h"

namespace veltone {

// "Remove dynamic noises": finds single-pixel, strongly coloured spikes of a three-channel 16-bit
// frame against its detection image (the brightest channel of each pixel) and replaces each
// channel of their inner 3 × 3 block by the ring fit. Returns the number of pixels replaced;
// frames that are not three-channel are left alone (0). Every pixel is judged as the frame was before
// any patch, and the patches go in as in row order, whatever the number of threads.
int64_t removeHotPixels(velimage::Image16& frame);

// removeHotPixels(frame), then applyFlatField(frame, gains), with the same result; when the map fits
// the frame as it is, in one pass, each band of rows scaled while it is still in cache. `flattened`
// is what applyFlatField would return.
int64_t removeHotPixelsAndFlatten(velimage::Image16& frame, const GainMap& gains, bool& flattened);

}  // namespace veltone
