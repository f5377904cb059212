#include "image/TiffReader.h"

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <vector>

#include "image/ExifReader.h"
#include "image/ImageLimits.h"
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

// Reads and converts row by row, so that each row is decoded while it is still in the cache.
bool readPixels(TIFF* tiff, const Layout& layout, const ColorPlan& plan, TiffImage& image)
{
    const size_t samplesPerLine = image.rowElements();
    const int32_t channels = image.channels();
    // 8-bit samples widen through the curve in one table; the primaries follow.
    const std::array<uint16_t, 256> narrowTable = narrowDecodingTable(plan);
    ColorPlan afterNarrow = plan;
    afterNarrow.curve = ColorPlan::Curve::None;
    std::vector<uint8_t> line;
    if (layout.bytesPerSample != 2)
        line.resize(samplesPerLine * layout.bytesPerSample);
    for (uint32_t y = 0; y < layout.height; ++y) {
        uint16_t* out = image.row(static_cast<int32_t>(y));
        if (layout.bytesPerSample == 2) {
            if (TIFFReadScanline(tiff, out, y, 0) < 0)
                return false;
            applyColorPlanToRow(out, samplesPerLine, channels, plan);
            continue;
        }
        if (TIFFReadScanline(tiff, line.data(), y, 0) < 0)
            return false;
        if (layout.bytesPerSample == 1) {
            widenThroughTable(line.data(), out, samplesPerLine, narrowTable);
            applyColorPlanToRow(out, samplesPerLine, channels, afterNarrow);
        } else {
            const uint32_t* in = reinterpret_cast<const uint32_t*>(line.data());
            for (size_t i = 0; i < samplesPerLine; ++i)
                out[i] = static_cast<uint16_t>(in[i] >> 16);
            applyColorPlanToRow(out, samplesPerLine, channels, plan);
        }
    }
    return true;
}

std::unique_ptr<TiffImage> readTiff(TIFF* tiff, uint64_t fileSize, std::optional<ColorTarget> target)
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
    if (!readPixels(tiff, layout, plan, *image))
        return nullptr;
    image->setMetadata(std::move(metadata));
    return image;
}

}  // namespace

std::unique_ptr<TiffImage> loadTiff(const std::wstring& path, std::optional<ColorTarget> target)
{
    const std::string utf8 = velpath::toUtf8(path);
    struct stat info {};
    if (::stat(utf8.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    TiffHandle tiff = openTiffFile(utf8, "r");
    return readTiff(tiff.get(), static_cast<uint64_t>(info.st_size), target);
}

std::unique_ptr<TiffImage> decodeTiff(const uint8_t* data, size_t size)
{
    MemoryTiff tiff(data, size, false);
    return readTiff(tiff.get(), size, std::nullopt);
}

}  // namespace velimage
