// libFuzzer target: the RAW reader (LibRaw decode, pixel copy and metadata) over arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "image/RawReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velimage::RawImage image;
    velimage::decodeRaw(data, size, 1, 1.0, 1.0, size % 2 == 1, image);
    return 0;
}
