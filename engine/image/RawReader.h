#pragma once

#include <functional>
#include <string>

#include "image/ImageTypes.h"

namespace velimage {

// Decodes a camera RAW file through LibRaw into linear 16-bit RGB: camera white balance, output
// colour space Adobe RGB for loader colour setting 2 and sRGB otherwise, gamma power 1/gamma0 and
// slope gamma1. With `applyOrientation` the pixels are turned into display orientation (and the
// Orientation entry becomes 1). Replaces the image's metadata with the decoded entries.
// False on any failure; the image is then undefined. Throws std::bad_alloc when memory runs out.
//
// LibRaw crashes and hangs on some damaged files, so the decode runs in the decoding program
// (velraw::decoderProgramPath()): a crash, a hang past the time limit or `stopRequested`
// answering true (polled while waiting) kills it and the load fails. Without the program the
// file is decoded in this process by decodeRaw().
// A row sink sees the rows as they arrive.
class RowSink;
bool loadRaw(const std::wstring& path, int colorSetting, double gamma0, double gamma1, bool applyOrientation,
             RawImage& image, const std::function<bool()>& stopRequested = {}, RowSink* sink = nullptr);
// The decode itself, in this process, from bytes in memory; the decoding program runs this.
bool decodeRaw(const uint8_t* data, size_t size, int colorSetting, double gamma0, double gamma1,
               bool applyOrientation, RawImage& image);

}  // namespace velimage
