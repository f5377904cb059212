#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velimage {

// One metadata entry: key = tag << 8 | type, with type 0 text, 1 float32, 2 uint16.
// Tags 256..4095 belong to the main image directory, 4096 and above to the EXIF directory.
struct MetadataEntry {
    enum Type : uint8_t { Text = 0, Float = 1, Short = 2 };

    uint32_t key = 0;
    std::string text;
    float number = 0.0f;
    uint16_t shortValue = 0;

    uint16_t tag() const { return static_cast<uint16_t>(key >> 8); }
    Type type() const { return static_cast<Type>(key & 0xFF); }
};

// Ordered list of the entries a file came with; written back into the output.
class MetadataList {
public:
    // Setting replaces the value of an entry with the same tag, else appends.
    void setText(uint16_t tag, std::string value);
    void setFloat(uint16_t tag, float value);
    void setShort(uint16_t tag, uint16_t value);
    void remove(uint16_t tag);

    const MetadataEntry* find(uint16_t tag) const;
    bool findFloat(uint16_t tag, float& value) const;
    bool findShort(uint16_t tag, uint16_t& value) const;

    const std::vector<MetadataEntry>& entries() const { return m_entries; }
    bool empty() const { return m_entries.empty(); }
    size_t size() const { return m_entries.size(); }

private:
    MetadataEntry& slot(uint16_t tag, MetadataEntry::Type type);

    std::vector<MetadataEntry> m_entries;
};

namespace tags {
constexpr uint16_t Make = 271, Model = 272, Orientation = 274, XResolution = 282, YResolution = 283,
                   Software = 305, DateTime = 306, ExposureTime = 33434, FNumber = 33437,
                   ExifIfd = 34665, ISOSpeedRatings = 34855, DateTimeOriginal = 36867,
                   DateTimeDigitized = 36868, ShutterSpeedValue = 37377, ApertureValue = 37378,
                   ExposureBiasValue = 37380, MaxApertureValue = 37381, Flash = 37385,
                   FocalLength = 37386, ColorSpace = 40961, FocalLengthIn35mmFilm = 41989,
                   LensMake = 42035, LensModel = 42036, LensSerialNumber = 42037;
}  // namespace tags

}  // namespace velimage
