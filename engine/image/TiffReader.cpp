#include "image/TiffReader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "image/ExifReader.h"
#include "image/ImageLimits.h"
#include "image/RowSink.h"
#include "image/SampleLookup.h"
#include "image/TiffLibrary.h"
#include "parallel/WidePath.h"

namespace velimage {

namespace {

struct Layout {
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t channels = 0;
    int32_t bytesPerSample = 0;
};

bool readLayout(TIFF* tiff, uint64_t fileSize, Layout& layout)
{
    uint32_t width = 0, height = 0;
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height))
        return false;
    uint16_t compression = COMPRESSION_NONE;
    if (TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression) && compression != COMPRESSION_NONE)
        return false;
    uint16_t planar = PLANARCONFIG_CONTIG;
    if (TIFFGetField(tiff, TIFFTAG_PLANARCONFIG, &planar) && planar != PLANARCONFIG_CONTIG)
        return false;
    uint16_t samples = 3;
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    uint16_t bits = 1;
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    uint16_t format = SAMPLEFORMAT_UINT;
    TIFFGetField(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    // Float or signed samples would turn into noise by the integer rules.
    if (format != SAMPLEFORMAT_UINT || (bits != 8 && bits != 16 && bits != 32))
        return false;
    if (samples < 1 || samples > 4 || TIFFIsTiled(tiff) || !saneDimensions(width, height))
        return false;
    layout = {width, height, samples, bits / 8};
    // Uncompressed pixels must all be in the file before we allocate for them.
    const uint64_t lineBytes = uint64_t{width} * samples * layout.bytesPerSample;
    if (lineBytes * height > fileSize)
        return false;
    // libtiff sizes lines from its own idea of the samples per pixel (1 when the tag is
    // missing); a line of another size than ours would be misread.
    return static_cast<uint64_t>(TIFFScanlineSize64(tiff)) == lineBytes;
}

// Where each row's stored bytes are. Uncompressed strips that lie wholly inside the file are read
// directly: from memory when the whole file is there, else in chunks of rows with pread into a
// small buffer (reading a mapping's pages the first time cost several times more here). Anything
// else goes through libtiff's scan lines, which also report damaged files. Directly read samples
// keep the file's byte order.
class RowSource {
public:
    RowSource(TIFF* tiff, const Layout& layout, const uint8_t* file, uint64_t fileSize)
        : m_tiff(tiff), m_file(file), m_lineBytes(size_t{layout.width} * layout.channels * layout.bytesPerSample)
    {
        m_fd = file ? -1 : TIFFFileno(tiff);
        m_direct = (file || m_fd >= 0) && locateStrips(layout, fileSize);
        m_swapped = m_direct && TIFFIsByteSwapped(tiff);
        if (!m_direct)
            m_chunk.resize(m_lineBytes);
        else if (!file)
            m_chunk.resize(std::max<size_t>(1, kChunkBytes / m_lineBytes) * m_lineBytes);
    }

    // Null when the row could not be read.
    const uint8_t* row(uint32_t y)
    {
        if (!m_direct)
            return TIFFReadScanline(m_tiff, m_chunk.data(), y, 0) < 0 ? nullptr : m_chunk.data();
        if (m_file)
            return m_file + offsetOf(y);
        if (y < m_chunkBegin || y >= m_chunkEnd) {
            if (!readChunk(y))
                return nullptr;
        }
        return m_chunk.data() + size_t{y - m_chunkBegin} * m_lineBytes;
    }
    // Whether multi-byte samples of row() are in the other byte order.
    bool swapped() const { return m_swapped; }

private:
    static constexpr size_t kChunkBytes = size_t{512} << 10;  // stays in the second-level cache

    uint64_t offsetOf(uint32_t y) const { return m_strips[y / m_rowsPerStrip] + uint64_t{y % m_rowsPerStrip} * m_lineBytes; }

    bool locateStrips(const Layout& layout, uint64_t fileSize)
    {
        uint32_t rowsPerStrip = layout.height;
        TIFFGetField(m_tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        m_height = layout.height;
        m_rowsPerStrip = std::clamp<uint32_t>(rowsPerStrip, 1, std::max<uint32_t>(layout.height, 1));
        const uint64_t stripCount = (uint64_t{layout.height} + m_rowsPerStrip - 1) / m_rowsPerStrip;
        if (TIFFNumberOfStrips(m_tiff) != stripCount)
            return false;
        m_strips.resize(stripCount);
        for (uint32_t strip = 0; strip < stripCount; ++strip) {
            const uint64_t rows = std::min<uint64_t>(m_rowsPerStrip, layout.height - uint64_t{strip} * m_rowsPerStrip);
            const uint64_t bytes = rows * m_lineBytes;  // at most the file size: checked by readLayout
            const uint64_t offset = TIFFGetStrileOffset(m_tiff, strip);
            if (offset > fileSize || fileSize - offset < bytes || TIFFGetStrileByteCount(m_tiff, strip) < bytes)
                return false;
            m_strips[strip] = offset;
        }
        return true;
    }

    // Rows from y to the end of its strip, at most a chunk of them: contiguous in the file.
    bool readChunk(uint32_t y)
    {
        const uint32_t stripEnd = std::min<uint64_t>(m_height, (uint64_t{y} / m_rowsPerStrip + 1) * m_rowsPerStrip);
        const uint32_t rows = std::min<uint32_t>(stripEnd - y, static_cast<uint32_t>(m_chunk.size() / m_lineBytes));
        size_t done = 0;
        const size_t wanted = size_t{rows} * m_lineBytes;
        while (done < wanted) {
            const ssize_t got = ::pread(m_fd, m_chunk.data() + done, wanted - done, static_cast<off_t>(offsetOf(y) + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += static_cast<size_t>(got);
        }
        m_chunkBegin = y;
        m_chunkEnd = y + rows;
        return true;
    }

    TIFF* m_tiff;
    const uint8_t* m_file;
    size_t m_lineBytes;
    int m_fd = -1;
    bool m_direct = false;
    bool m_swapped = false;
    uint32_t m_height = 0;
    uint32_t m_rowsPerStrip = 1;
    std::vector<uint64_t> m_strips;  // file offset of each strip
    std::vector<uint8_t> m_chunk;
    uint32_t m_chunkBegin = 0, m_chunkEnd = 0;
};

// 16-bit samples in place when they are aligned and in our byte order, else a swapped copy in `out`.
const uint16_t* wideSamples(const uint8_t* raw, bool swapped, size_t count, uint16_t* out)
{
    if (!swapped && reinterpret_cast<uintptr_t>(raw) % alignof(uint16_t) == 0)
        return reinterpret_cast<const uint16_t*>(raw);
    std::memcpy(out, raw, count * sizeof(uint16_t));
    if (swapped)
        for (size_t i = 0; i < count; ++i)
            out[i] = __builtin_bswap16(out[i]);
    return out;
}

// Reads and converts row by row, so that each row is decoded while it is still in the cache.
bool readPixels(RowSource& source, const Layout& layout, const ColorPlan& plan, TiffImage& image, RowSink* sink)
{
    const size_t samplesPerLine = image.rowElements();
    const int32_t channels = image.channels();
    // The curve goes in with the copy (8-bit samples: through one widening table); the primaries
    // follow on the converted row.
    const std::array<uint16_t, 256> narrowTable = narrowDecodingTable(plan);
    const uint16_t* curve = decodingCurveOf(plan);
    ColorPlan primariesOnly = plan;
    primariesOnly.curve = ColorPlan::Curve::None;
    for (uint32_t y = 0; y < layout.height; ++y) {
        uint16_t* out = image.row(static_cast<int32_t>(y));
        const uint8_t* raw = source.row(y);
        if (!raw)
            return false;
        if (layout.bytesPerSample == 1) {
            widenThroughTable(raw, out, samplesPerLine, narrowTable);
        } else if (layout.bytesPerSample == 2) {
            const uint16_t* samples = wideSamples(raw, source.swapped(), samplesPerLine, out);
            if (curve)
                mapThroughCurve(samples, out, samplesPerLine, curve);
            else if (samples != out)
                std::memcpy(out, samples, samplesPerLine * sizeof(uint16_t));
        } else {
            for (size_t i = 0; i < samplesPerLine; ++i) {
                uint32_t sample;
                std::memcpy(&sample, raw + i * sizeof(uint32_t), sizeof(uint32_t));
                out[i] = static_cast<uint16_t>((source.swapped() ? __builtin_bswap32(sample) : sample) >> 16);
            }
            if (curve)
                mapThroughCurve(out, out, samplesPerLine, curve);
        }
        applyColorPlanToRow(out, samplesPerLine, channels, primariesOnly);
        if (sink && (y + 1) % kRowSinkStep == 0)
            sink->rowsDecoded(static_cast<int32_t>(y + 1));
    }
    if (sink) {
        sink->rowsDecoded(static_cast<int32_t>(layout.height));
        sink->finish();
    }
    return true;
}

// `file` holds the whole file when the caller has it in memory, or is null (rows are then read
// from libtiff's file descriptor).
std::unique_ptr<TiffImage> readTiff(TIFF* tiff, const uint8_t* file, uint64_t fileSize,
                                    std::optional<ColorTarget> target, RowSink* sink)
{
    Layout layout;
    if (!tiff || !readLayout(tiff, fileSize, layout))
        return nullptr;
    // The metadata come first as they choose the conversion; reading them leaves libtiff on
    // another directory.
    auto metadata = std::make_unique<MetadataList>();
    readTiffMetadata(tiff, *metadata);
    if (!TIFFSetDirectory(tiff, 0))
        return nullptr;
    const ColorPlan plan = target ? colorPlanFor(FileKind::Tiff, metadata.get(), *target) : ColorPlan{};
    auto image = std::make_unique<TiffImage>();
    image->allocate(static_cast<int32_t>(layout.width), static_cast<int32_t>(layout.height), layout.channels);
    RowSource source(tiff, layout, file, fileSize);
    if (sink)
        sink->begin(*image);
    if (!readPixels(source, layout, plan, *image, sink))
        return nullptr;
    image->setMetadata(std::move(metadata));
    return image;
}

}  // namespace

std::unique_ptr<TiffImage> loadTiff(const std::wstring& path, std::optional<ColorTarget> target, RowSink* sink)
{
    const std::string utf8 = velpath::toUtf8(path);
    struct stat info {};
    if (::stat(utf8.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    // "m": libtiff reads with read(), as our own row reading does, instead of mapping the file.
    TiffHandle tiff = openTiffFile(utf8, "rm");
    return readTiff(tiff.get(), nullptr, static_cast<uint64_t>(info.st_size), target, sink);
}

std::unique_ptr<TiffImage> decodeTiff(const uint8_t* data, size_t size)
{
    MemoryTiff tiff(data, size, false);
    return readTiff(tiff.get(), data, size, std::nullopt, nullptr);
}

}  // namespace velimage
