#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "image/ImageTypes.h"

namespace velimage {

// Switches libtiff's own error and warning output off for the whole process (the readers and
// writers call it too). Declared in image/TiffLibrary.h as well.
void silenceTiffLibrary();

// Colour setting of decoded files, as the loader is configured: 1 sRGB, 2 Adobe RGB, 3 linear
// (engine ColorSpace 1 maps to 2, 2 to 3, anything else to 1).
int loaderColorSetting(int engineColorSpace);

// Decodes a star, noise or vignetting frame into a 16-bit image (an Image<uint16_t>, TiffImage or
// RawImage) with its metadata. The reader follows the ending: ".jpg" JPEG, ".tif"/".tiff" TIFF,
// anything else RAW. `parts` is how many pool parts its parallel steps may use. Returns null when
// the file cannot be read, or when `stopRequested` answers true during a RAW decode; throws
// std::bad_alloc when memory runs out. A row sink sees the decoded rows as they become final.
class RowSink;
std::unique_ptr<Image<uint16_t>> loadImage(const std::wstring& path, int colorSetting, int parts,
                                           const std::function<bool()>& stopRequested = {},
                                           RowSink* sink = nullptr);

// Writes an 8-bit image (1 or 3 channels) as a JPEG of quality 99, compressed into a bounded
// 120 MiB buffer and saved over `path`. No metadata. False when anything fails.
bool writeJpeg8(const Image<uint8_t>& image, const std::wstring& path);

}  // namespace velimage
