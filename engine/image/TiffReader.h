#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "image/ColorConversion.h"
#include "image/ImageTypes.h"

namespace velimage {

// Reads an uncompressed, chunky TIFF with 8, 16 or 32 bits per unsigned sample into a 16-bit
// image (8-bit v becomes v·257, 32-bit keeps its upper 16 bits) with its metadata list.
// With a colour target the samples are also decoded by the TIFF colour rules of colorPlanFor.
// Null for anything else or anything damaged; throws std::bad_alloc only when memory runs out.
// A row sink sees the rows as they are read.
class RowSink;
std::unique_ptr<TiffImage> loadTiff(const std::wstring& path, std::optional<ColorTarget> target = std::nullopt,
                                    RowSink* sink = nullptr);
// The same from bytes in memory (the bytes need not outlive the call).
std::unique_ptr<TiffImage> decodeTiff(const uint8_t* data, size_t size);

}  // namespace velimage
