#pragma once

#include <cstddef>
#include <cstdint>

#include "FileMemory.h"
#include "image/Image.h"

namespace velimage {

// Size of the memory buffer a JPEG output is compressed into; larger results fail.
constexpr size_t kJpegOutputCapacity = 125829120;

// Quality of the program's JPEG outputs.
constexpr int kJpegOutputQuality = 99;

// Compresses an 8-bit image with 1 (grey) or 3 (RGB) channels at `quality` (1 … 100) with baseline
// tables into `output`, whose size becomes the compressed size. Fails, without writing past it,
// when the data does not fit in `capacity` bytes.
bool compressJpeg8(const Image<uint8_t>& image, size_t capacity, FileMemory& output,
                   int quality = kJpegOutputQuality);

}  // namespace velimage
