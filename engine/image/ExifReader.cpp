#include "image/ExifReader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace velimage {

namespace {

struct TagSpec {
    uint16_t tag;
    MetadataEntry::Type type;
};

constexpr TagSpec kMainTags[] = {
    {tags::Make, MetadataEntry::Text},       {tags::Model, MetadataEntry::Text},
    {tags::Orientation, MetadataEntry::Short}, {tags::XResolution, MetadataEntry::Float},
    {tags::YResolution, MetadataEntry::Float}, {tags::DateTime, MetadataEntry::Text},
};

constexpr TagSpec kExifTags[] = {
    {tags::ExposureTime, MetadataEntry::Float},      {tags::FNumber, MetadataEntry::Float},
    {tags::ISOSpeedRatings, MetadataEntry::Short},   {tags::DateTimeOriginal, MetadataEntry::Text},
    {tags::DateTimeDigitized, MetadataEntry::Text},  {tags::ShutterSpeedValue, MetadataEntry::Float},
    {tags::ApertureValue, MetadataEntry::Float},     {tags::ExposureBiasValue, MetadataEntry::Float},
    {tags::MaxApertureValue, MetadataEntry::Float},  {tags::Flash, MetadataEntry::Short},
    {tags::FocalLength, MetadataEntry::Float},       {tags::ColorSpace, MetadataEntry::Short},
    {tags::FocalLengthIn35mmFilm, MetadataEntry::Short}, {tags::LensMake, MetadataEntry::Text},
    {tags::LensModel, MetadataEntry::Text},          {tags::LensSerialNumber, MetadataEntry::Text},
};

constexpr uint32_t kInteroperabilityIfd = 40965;
constexpr uint32_t kInteroperabilityIndex = 1;

// First element of a value array, whatever libtiff's storage type for the field.
bool firstNumber(const void* data, TIFFDataType type, int storageSize, double& value)
{
    switch (type) {
    case TIFF_BYTE: case TIFF_UNDEFINED: value = *static_cast<const uint8_t*>(data); return true;
    case TIFF_SBYTE: value = *static_cast<const int8_t*>(data); return true;
    case TIFF_SHORT: value = *static_cast<const uint16_t*>(data); return true;
    case TIFF_SSHORT: value = *static_cast<const int16_t*>(data); return true;
    case TIFF_LONG: case TIFF_IFD:
        value = storageSize == 8 ? static_cast<double>(*static_cast<const uint64_t*>(data))
                                 : *static_cast<const uint32_t*>(data);
        return true;
    case TIFF_SLONG: value = *static_cast<const int32_t*>(data); return true;
    case TIFF_LONG8: case TIFF_IFD8: value = static_cast<double>(*static_cast<const uint64_t*>(data)); return true;
    case TIFF_SLONG8: value = static_cast<double>(*static_cast<const int64_t*>(data)); return true;
    case TIFF_RATIONAL: case TIFF_SRATIONAL: case TIFF_FLOAT: case TIFF_DOUBLE:
        value = storageSize == 8 ? *static_cast<const double*>(data) : *static_cast<const float*>(data);
        return true;
    default: return false;
    }
}

// Reads one tag of the current directory as libtiff stores it: known fields come as scalars,
// fields libtiff does not know (for example main-directory tags read as a custom directory)
// come as counted arrays. Returns false when the tag is absent or of an unusable kind.
bool readTagValue(TIFF* tiff, uint32_t tag, std::string* text, double* number)
{
    const TIFFField* field = TIFFFindField(tiff, tag, TIFF_ANY);
    if (!field)
        return false;
    const TIFFDataType type = TIFFFieldDataType(field);
    const int storageSize = TIFFFieldSetGetSize(field);
    if (TIFFFieldPassCount(field)) {
        uint64_t count = 0;
        void* data = nullptr;
        if (TIFFFieldSetGetCountSize(field) == 4) {
            uint32_t count32 = 0;
            if (!TIFFGetField(tiff, tag, &count32, &data))
                return false;
            count = count32;
        } else {
            uint16_t count16 = 0;
            if (!TIFFGetField(tiff, tag, &count16, &data))
                return false;
            count = count16;
        }
        if (count == 0 || !data)
            return false;
        if (type == TIFF_ASCII) {
            if (!text)
                return false;
            const char* chars = static_cast<const char*>(data);
            text->assign(chars, strnlen(chars, count));
            return true;
        }
        return number && firstNumber(data, type, storageSize, *number);
    }
    if (type == TIFF_ASCII) {
        char* chars = nullptr;
        if (!text || !TIFFGetField(tiff, tag, &chars) || !chars)
            return false;
        text->assign(chars);
        return true;
    }
    if (!number || TIFFFieldReadCount(field) != 1 || storageSize <= 0 || storageSize > 8)
        return false;
    alignas(8) unsigned char scalar[8] = {};
    if (!TIFFGetField(tiff, tag, scalar))
        return false;
    return firstNumber(scalar, type, storageSize, *number);
}

void readTags(TIFF* tiff, const TagSpec* specs, size_t count, MetadataList& list)
{
    for (size_t i = 0; i < count; ++i) {
        const TagSpec& spec = specs[i];
        if (spec.type == MetadataEntry::Text) {
            std::string text;
            if (readTagValue(tiff, spec.tag, &text, nullptr))
                list.setText(spec.tag, std::move(text));
            continue;
        }
        double number = 0.0;
        if (!readTagValue(tiff, spec.tag, nullptr, &number) || !std::isfinite(number))
            continue;
        if (spec.type == MetadataEntry::Float)
            list.setFloat(spec.tag, static_cast<float>(number));
        else
            list.setShort(spec.tag, static_cast<uint16_t>(std::clamp(number, 0.0, 65535.0)));
    }
}

bool readOffset(TIFF* tiff, uint32_t tag, uint64_t& offset)
{
    double value = 0.0;
    if (!readTagValue(tiff, tag, nullptr, &value) || !(value > 0.0) || value >= 18446744073709551616.0)
        return false;
    offset = static_cast<uint64_t>(value);
    return true;
}

void applyInteroperabilityRule(TIFF* tiff, MetadataList& list)
{
    uint64_t offset = 0;
    if (!readOffset(tiff, kInteroperabilityIfd, offset))
        return;
    const MetadataEntry* colorSpace = list.find(tags::ColorSpace);
    if (colorSpace && !(colorSpace->type() == MetadataEntry::Short && colorSpace->shortValue == 65535))
        return;
    if (!TIFFReadEXIFDirectory(tiff, offset))
        return;
    std::string index;
    if (!readTagValue(tiff, kInteroperabilityIndex, &index, nullptr))
        return;
    if (index == "R03" && colorSpace)
        list.setShort(tags::ColorSpace, 2);
    else if (index == "R98")
        list.setShort(tags::ColorSpace, 1);
}

// The first directory's offset from the 8-byte classic header ("II"/"MM", 42, offset).
bool firstDirectoryOffset(const uint8_t* data, size_t size, uint64_t& offset)
{
    if (size < 8)
        return false;
    const bool little = data[0] == 'I' && data[1] == 'I';
    if (!little && !(data[0] == 'M' && data[1] == 'M'))
        return false;
    auto read16 = [&](size_t at) { return little ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1]; };
    if (read16(2) != 42)
        return false;
    const uint32_t value = little ? uint32_t(data[4]) | uint32_t(data[5]) << 8 | uint32_t(data[6]) << 16 | uint32_t(data[7]) << 24
                                  : uint32_t(data[4]) << 24 | uint32_t(data[5]) << 16 | uint32_t(data[6]) << 8 | uint32_t(data[7]);
    offset = value;
    return value >= 8 && value < size;
}

}  // namespace

void readTiffMetadata(TIFF* tiff, MetadataList& list)
{
    readTags(tiff, kMainTags, std::size(kMainTags), list);
    uint64_t exifOffset = 0;
    if (!readOffset(tiff, TIFFTAG_EXIFIFD, exifOffset) || !TIFFReadEXIFDirectory(tiff, exifOffset))
        return;
    readTags(tiff, kExifTags, std::size(kExifTags), list);
    applyInteroperabilityRule(tiff, list);
}

void readExifBlock(const uint8_t* data, size_t size, MetadataList& list)
{
    uint64_t firstOffset = 0;
    if (!firstDirectoryOffset(data, size, firstOffset))
        return;
    MemoryTiff tiff(data, size, true);
    // The block's first directory has no image in it, which libtiff refuses as an image
    // directory; read with the EXIF field set, its tags arrive as unknown (counted) fields.
    if (!tiff || !TIFFReadEXIFDirectory(tiff.get(), firstOffset))
        return;
    readTags(tiff.get(), kMainTags, std::size(kMainTags), list);
    uint64_t exifOffset = 0;
    if (!readOffset(tiff.get(), TIFFTAG_EXIFIFD, exifOffset) || !TIFFReadEXIFDirectory(tiff.get(), exifOffset))
        return;
    readTags(tiff.get(), kExifTags, std::size(kExifTags), list);
}

}  // namespace velimage
