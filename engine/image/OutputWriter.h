#pragma once

#include <string>

#include "image/ImageTypes.h"
#include "image/Metadata.h"

namespace velimage {

// Writes the finished accumulation image (16-bit scale, after the final tone conversion) to
// `path`: ".jpg" as an 8-bit JPEG without metadata, ".tif"/".tiff" as a 16-bit TIFF carrying
// `metadata` (endings compared case-insensitively); any other ending fails. For RAW inputs the
// Orientation entry becomes 1 and the pixels are turned back by `rotationCode` (1 90° clockwise,
// 2 180°, 3 90° counter-clockwise) while converting. False when nothing (complete) was written,
// also for an image without weight. Runs on the pipeline's thread; conversion uses the pool.
bool writeOutput(AccumulationImage& image, const std::wstring& path, MetadataList& metadata, bool rawInput,
                 int rotationCode);

}  // namespace velimage
