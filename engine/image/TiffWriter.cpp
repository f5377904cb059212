#include "image/TiffWriter.h"

#include <cstring>
#include <vector>

#include "image/TiffLibrary.h"
#include "parallel/WidePath.h"

namespace velimage {

namespace {

constexpr uint16_t kFirstExifTag = 4096;

// Sets one metadata entry the way libtiff wants the field passed; entries whose type does not
// fit the field libtiff knows for that tag are skipped rather than passed wrongly.
bool setTag(TIFF* tiff, const MetadataEntry& entry, uint16_t shortOverride, bool useOverride)
{
    const uint32_t tag = entry.tag();
    const TIFFField* field = TIFFFindField(tiff, tag, TIFF_ANY);
    if (!field)
        return false;
    const TIFFDataType type = TIFFFieldDataType(field);
    const bool counted = TIFFFieldPassCount(field);
    const bool wideCount = counted && TIFFFieldSetGetCountSize(field) == 4;
    if (entry.type() == MetadataEntry::Text)
        return type == TIFF_ASCII && !counted && TIFFSetField(tiff, tag, entry.text.c_str());

    const double number = entry.type() == MetadataEntry::Float ? entry.number
                          : useOverride                        ? shortOverride
                                                               : entry.shortValue;
    switch (type) {
    case TIFF_SHORT: {
        const uint16_t value = static_cast<uint16_t>(number);
        if (!counted)
            return TIFFSetField(tiff, tag, static_cast<int>(value));
        return wideCount ? TIFFSetField(tiff, tag, uint32_t{1}, &value) : TIFFSetField(tiff, tag, 1, &value);
    }
    case TIFF_LONG: {
        const uint32_t value = static_cast<uint32_t>(number);
        if (!counted)
            return TIFFSetField(tiff, tag, value);
        return wideCount ? TIFFSetField(tiff, tag, uint32_t{1}, &value) : TIFFSetField(tiff, tag, 1, &value);
    }
    case TIFF_RATIONAL: case TIFF_SRATIONAL: case TIFF_FLOAT: case TIFF_DOUBLE: {
        if (!counted)
            return TIFFSetField(tiff, tag, number);
        const float single = static_cast<float>(number);
        const void* data = TIFFFieldSetGetSize(field) == 8 ? static_cast<const void*>(&number) : &single;
        return wideCount ? TIFFSetField(tiff, tag, uint32_t{1}, data) : TIFFSetField(tiff, tag, 1, data);
    }
    default:
        return false;
    }
}

bool setLayout(TIFF* tiff, const Image<uint16_t>& image, unsigned options)
{
    const int channels = image.channels();
    const bool colour = channels >= 3;
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width())) &&
              TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height())) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, channels) && TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16) &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, colour ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    // A fourth (or second) plane is declared as extra samples so that readers accept the file.
    const uint16_t extra = static_cast<uint16_t>(channels - (colour ? 3 : 1));
    if (ok && extra > 0) {
        std::vector<uint16_t> kinds(extra, EXTRASAMPLE_UNSPECIFIED);
        ok = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, extra, kinds.data());
    }
    const int compression = options & TiffLzw ? COMPRESSION_LZW : options & TiffPackBits ? COMPRESSION_PACKBITS
                                                                                         : COMPRESSION_NONE;
    return ok && TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression) &&
           TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
}

bool writeLines(TIFF* tiff, const Image<uint16_t>& image)
{
    // libtiff may change the buffer it is given (byte swapping, encoding): hand it a copy.
    std::vector<uint16_t> line(image.rowElements());
    for (int32_t y = 0; y < image.height(); ++y) {
        std::memcpy(line.data(), image.row(y), line.size() * sizeof(uint16_t));
        if (TIFFWriteScanline(tiff, line.data(), static_cast<uint32_t>(y), 0) < 0)
            return false;
    }
    return true;
}

bool writeExifDirectory(TIFF* tiff, const MetadataList& list)
{
    // The main directory carries a placeholder offset; it is rewritten once the EXIF one exists.
    // TIFFCreateEXIFDirectory returns 0 on success.
    if (!TIFFWriteDirectory(tiff) || TIFFCreateEXIFDirectory(tiff) != 0)
        return false;
    for (const MetadataEntry& entry : list.entries()) {
        if (entry.tag() < kFirstExifTag)
            continue;
        // ColorSpace: sRGB stays 1, anything else is written as uncalibrated.
        const bool colorSpace = entry.tag() == tags::ColorSpace && entry.type() == MetadataEntry::Short;
        setTag(tiff, entry, colorSpace && entry.shortValue == 1 ? 1 : 65535, colorSpace);
    }
    uint64_t exifOffset = 0;
    if (!TIFFWriteCustomDirectory(tiff, &exifOffset) || !TIFFSetDirectory(tiff, 0))
        return false;
    return TIFFSetField(tiff, TIFFTAG_EXIFIFD, exifOffset) && TIFFRewriteDirectory(tiff);
}

bool writeFile(TIFF* tiff, const Image<uint16_t>& image, unsigned options)
{
    const MetadataList* list = image.metadata();
    bool hasExif = false;
    if (list) {
        for (const MetadataEntry& entry : list->entries()) {
            if (entry.tag() >= kFirstExifTag)
                hasExif = true;
            else if (entry.tag() >= 256)
                setTag(tiff, entry, 0, false);
        }
    }
    if (!setLayout(tiff, image, options))
        return false;
    if (hasExif && !TIFFSetField(tiff, TIFFTAG_EXIFIFD, uint64_t{0}))
        return false;
    if (!writeLines(tiff, image))
        return false;
    if (hasExif)
        return writeExifDirectory(tiff, *list);
    return TIFFWriteDirectory(tiff) != 0;
}

}  // namespace

bool writeTiff16(const Image<uint16_t>& image, const std::wstring& path, unsigned options)
{
    if (image.empty() || image.channels() < 1)
        return false;
    const std::string utf8 = velpath::toUtf8(path);
    TiffHandle tiff = openTiffFile(utf8, "w");
    if (!tiff)
        return false;
    const bool written = writeFile(tiff.get(), image, options) && TIFFFlush(tiff.get());
    tiff.reset();
    if (!written)
        velpath::removeFile(path);
    return written;
}

}  // namespace velimage
