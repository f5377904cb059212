// libFuzzer target: the desktop program's RAW preview (LibRaw decode, size checks, reduction)
// over arbitrary bytes. It takes the same inputs as fuzz_raw.
#include <cstddef>
#include <cstdint>

#include "PreviewLoading.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An odd length also runs the reduction to a small screen.
    decodeRawPreview(data, size, size % 2 == 1 ? 16 : 0);
    return 0;
}
