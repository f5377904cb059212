#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velimage {

// Switches libtiff's process-wide error and warning output off. Idempotent and safe from any
// thread; every reader and writer calls it, and the pipeline calls it once per run.
void silenceTiffLibrary();

struct TiffCloser {
    void operator()(TIFF* tiff) const
    {
        if (tiff)
            TIFFClose(tiff);
    }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// Opens a file through libtiff with its messages swallowed; `mode` as for TIFFOpen.
TiffHandle openTiffFile(const std::string& utf8Path, const char* mode);

// A read-only TIFF over bytes borrowed from the caller, which must outlive this object.
// With `headerOnly` no directory is read on opening (an Exif block has no image directory).
class MemoryTiff {
public:
    MemoryTiff(const uint8_t* data, size_t size, bool headerOnly);
    MemoryTiff(const MemoryTiff&) = delete;
    MemoryTiff& operator=(const MemoryTiff&) = delete;

    TIFF* get() const { return m_tiff.get(); }
    explicit operator bool() const { return m_tiff != nullptr; }

    struct Stream {
        const uint8_t* data = nullptr;
        uint64_t size = 0;
        uint64_t position = 0;
    };

private:
    Stream m_stream;  // declared first: outlives the handle that reads it
    TiffHandle m_tiff;
};

}  // namespace velimage
