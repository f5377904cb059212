// libFuzzer target: the TIFF reader (pixels and metadata directories) over arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "image/TiffReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    velimage::decodeTiff(data, size);
    return 0;
}
