// libFuzzer target: the JPEG decoder over arbitrary bytes, and the Exif block reader on the same
// bytes taken as a TIFF structure.
#include <cstddef>
#include <cstdint>

#include "image/ExifReader.h"
#include "image/JpegReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velimage::JpegImage image;
    velimage::decodeJpeg(data, size, image);
    velimage::MetadataList list;
    velimage::readExifBlock(data, size, list);
    return 0;
}
