#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "DecoderProcess.h"

namespace velraw {

// Where a decoded preview goes: a buffer of width × height × 3 bytes, or null to refuse it.
using PreviewPixels = std::function<unsigned char*(int width, int height)>;

// The desktop preview's decode of a camera RAW file in memory through LibRaw, in this process:
// 8-bit RGB, camera white balance, no brightening, the sRGB curve (0.4166667, 12.92) and sRGB
// primaries. A sensor or a result of more than `maxPixels` is refused before anything is
// allocated for it, as is a sensor the file is far too small to hold. `stopRequested` is polled
// between LibRaw's steps. False on any failure; never throws.
bool decodeRawPreviewPixels(const unsigned char* data, size_t size, int64_t maxPixels,
                            const StopRequest& stopRequested, const PreviewPixels& pixels);

}  // namespace velraw
