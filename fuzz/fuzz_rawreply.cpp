// libFuzzer target: the engine's reading of what the decoding program sends back (header limits,
// metadata entries, pixels, end mark) over arbitrary bytes: the engine's side of the process
// boundary. The LibRaw decode itself is fuzz_raw's.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "DecodeReply.h"
#include "image/RawReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A header within the limits may ask for gigabytes, which the engine then allocates as it
    // would for a real frame of that size; that says nothing new, so such inputs stop here.
    velraw::ReplyHeader header;
    if (size >= sizeof header) {
        std::memcpy(&header, data, sizeof header);
        if (header.pixelBytes() > (uint64_t{16} << 20))
            return 0;
    }
    size_t at = 0;
    const velraw::ReplyReader read = [&](void* into, size_t count) {
        if (size - at < count)
            return false;
        std::memcpy(into, data + at, count);
        at += count;
        return true;
    };
    velimage::RawImage image;
    try {
        if (velimage::readRawReply(read, image))
            velraw::readReplyEnd(read);
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
