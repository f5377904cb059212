#pragma once

#include <string>

#include "image/ImageTypes.h"

namespace velimage {

// Decodes a camera RAW file through LibRaw into linear 16-bit RGB: camera white balance, output
// colour space Adobe RGB for loader colour setting 2 and sRGB otherwise, gamma power 1/gamma0 and
// slope gamma1. With `applyOrientation` the pixels are turned into display orientation (and the
// Orientation entry becomes 1). Replaces the image's metadata with the decoded entries.
// False on any failure; the image is then undefined.
bool loadRaw(const std::wstring& path, int colorSetting, double gamma0, double gamma1, bool applyOrientation,
             RawImage& image);
// The same from bytes in memory.
bool decodeRaw(const uint8_t* data, size_t size, int colorSetting, double gamma0, double gamma1,
               bool applyOrientation, RawImage& image);

}  // namespace velimage
