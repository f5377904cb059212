#pragma once

#include <cstddef>
#include <cstdint>

#include "image/Metadata.h"
#include "image/TiffLibrary.h"

namespace velimage {

// Reads the metadata entries of a TIFF file whose current directory is the image directory: the
// main-directory tags, the EXIF directory and its interoperability directory. The interoperability
// index fixes an uncalibrated ColorSpace: "R03" means Adobe RGB (2), "R98" sRGB (1). Leaves the
// handle on another directory.
void readTiffMetadata(TIFF* tiff, MetadataList& list);

// Reads the TIFF structure of a JPEG Exif block (the bytes after "Exif\0\0"): its first directory
// and the EXIF directory it points to. Damaged blocks give whatever entries could be read.
void readExifBlock(const uint8_t* data, size_t size, MetadataList& list);

}  // namespace velimage
