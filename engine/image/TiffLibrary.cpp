#include "image/TiffLibrary.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace velimage {

namespace {

// libtiff's own allocations for one directory (strip tables, tag arrays) stay below this.
constexpr tmsize_t kMaxSingleAllocation = 256 * 1024 * 1024;

int swallowMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OpenOptions {
    OpenOptions()
    {
        options = TIFFOpenOptionsAlloc();
        if (options) {
            TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxSingleAllocation);
            TIFFOpenOptionsSetErrorHandlerExtR(options, swallowMessage, nullptr);
            TIFFOpenOptionsSetWarningHandlerExtR(options, swallowMessage, nullptr);
        }
    }
    ~OpenOptions() { TIFFOpenOptionsFree(options); }
    OpenOptions(const OpenOptions&) = delete;
    OpenOptions& operator=(const OpenOptions&) = delete;

    TIFFOpenOptions* options = nullptr;
};

using Stream = MemoryTiff::Stream;

tmsize_t readStream(thandle_t handle, void* buffer, tmsize_t size)
{
    auto* stream = static_cast<Stream*>(handle);
    if (size <= 0 || stream->position >= stream->size)
        return 0;
    const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(size), stream->size - stream->position);
    std::memcpy(buffer, stream->data + stream->position, count);
    stream->position += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t writeStream(thandle_t, void*, tmsize_t) { return 0; }

toff_t seekStream(thandle_t handle, toff_t offset, int whence)
{
    auto* stream = static_cast<Stream*>(handle);
    uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = stream->position;
    else if (whence == SEEK_END)
        base = stream->size;
    else if (whence != SEEK_SET)
        return static_cast<toff_t>(-1);
    // Offsets arrive unsigned; a "negative" one wraps and is refused like any seek past 2^62.
    if (offset > (uint64_t{1} << 62) || base + offset > (uint64_t{1} << 62))
        return static_cast<toff_t>(-1);
    stream->position = base + offset;
    return stream->position;
}

int closeStream(thandle_t) { return 0; }
toff_t sizeOfStream(thandle_t handle) { return static_cast<Stream*>(handle)->size; }
int mapStream(thandle_t, void**, toff_t*) { return 0; }
void unmapStream(thandle_t, void*, toff_t) {}

}  // namespace

void silenceTiffLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandlerExt(nullptr);
        TIFFSetWarningHandlerExt(nullptr);
    });
}

TiffHandle openTiffFile(const std::string& utf8Path, const char* mode)
{
    silenceTiffLibrary();
    OpenOptions options;
    return TiffHandle(TIFFOpenExt(utf8Path.c_str(), mode, options.options));
}

MemoryTiff::MemoryTiff(const uint8_t* data, size_t size, bool headerOnly)
{
    silenceTiffLibrary();
    m_stream.data = data;
    m_stream.size = data ? size : 0;
    OpenOptions options;
    // "m": never map, the reads go through the procedures above; "h": header only.
    m_tiff.reset(TIFFClientOpenExt("memory", headerOnly ? "rmh" : "rm", &m_stream, readStream, writeStream,
                                   seekStream, closeStream, sizeOfStream, mapStream, unmapStream,
                                   options.options));
    // Without a directory read, libtiff has not set up its tag handling yet and reading a custom
    // directory would call through a null pointer; an empty default directory sets it up.
    if (m_tiff && headerOnly)
        TIFFCreateDirectory(m_tiff.get());
}

}  // namespace velimage
