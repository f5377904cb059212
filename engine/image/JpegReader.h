#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image/ColorConversion.h"
#include "image/ImageTypes.h"

namespace velimage {

// Decodes a JPEG held in memory into an 8-bit image with the file's 1 or 3 components and the
// entries of its Exif block. Library errors, and data that ends before the last row, make it return
// false (the image is then undefined); other library warnings are ignored. Throws std::bad_alloc
// only when memory runs out.
bool decodeJpeg(const uint8_t* data, size_t size, JpegImage& image);

class RowSink;

// Reads a JPEG file into 16 bits (v·257) and decodes its colours towards `target` (the JPEG rules
// of colorPlanFor), over `parts` pool parts, or row by row into `sink` when one is given; null on
// failure.
std::unique_ptr<Image<uint16_t>> loadJpeg(const std::wstring& path, ColorTarget target, int parts,
                                          RowSink* sink = nullptr);

}  // namespace velimage
