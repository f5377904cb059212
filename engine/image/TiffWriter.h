#pragma once

#include <cstdint>
#include <string>

#include "image/Image.h"

namespace velimage {

// Option bits of the TIFF writer; without any the file is uncompressed.
enum TiffWriteOptions : unsigned { TiffLzw = 1, TiffPackBits = 2 };

// Writes a 16-bit image with its metadata: entries with tags 256..4095 into the main directory,
// 4096 and above into an EXIF directory (only when there are such entries) that tag 34665 points
// to. True only when the whole file was written; a failed write leaves no file behind.
bool writeTiff16(const Image<uint16_t>& image, const std::wstring& path, unsigned options = 0);

}  // namespace velimage
