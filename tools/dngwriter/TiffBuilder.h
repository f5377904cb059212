#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace veldng {

// One directory of a classic TIFF structure under construction: tags with their values, pointers
// to child directories (EXIF, interoperability) and at most one strip of pixel data.
class TiffDirectory {
public:
    void ascii(uint16_t tag, const std::string& text);
    void bytes(uint16_t tag, const std::vector<uint8_t>& values);
    void shorts(uint16_t tag, const std::vector<uint16_t>& values);
    void longs(uint16_t tag, const std::vector<uint32_t>& values);
    void rationals(uint16_t tag, const std::vector<std::pair<uint32_t, uint32_t>>& values);
    void signedRationals(uint16_t tag, const std::vector<std::pair<int32_t, int32_t>>& values);
    // A LONG offset to `child`, which must outlive the build.
    void pointer(uint16_t tag, const TiffDirectory* child);
    // StripOffsets (273) and StripByteCounts (279) of one strip holding `data`.
    void strip(std::vector<uint8_t> data);

    struct Entry {
        uint16_t type = 0;
        uint32_t count = 0;
        std::vector<uint8_t> littleEndianValue;  // values in little-endian order, elementwise
        int elementSize = 0;
        const TiffDirectory* child = nullptr;
        bool stripOffset = false;
    };
    const std::map<uint16_t, Entry>& entries() const { return m_entries; }
    const std::vector<uint8_t>& stripData() const { return m_strip; }

private:
    void add(uint16_t tag, uint16_t type, uint32_t count, int elementSize, std::vector<uint8_t> value);

    std::map<uint16_t, Entry> m_entries;  // sorted by tag, as TIFF requires
    std::vector<uint8_t> m_strip;
};

// Serialises a TIFF structure ("II" or "MM", 42, first directory) with `first` as its first
// directory, children and strips after the directories that point to them.
std::vector<uint8_t> buildTiff(const TiffDirectory& first, bool bigEndian = false);

}  // namespace veldng

namespace veldng {

// Inserts an APP1 "Exif" segment holding `tiff` right after a JPEG's start-of-image marker.
std::vector<uint8_t> withExifBlock(const std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& tiff);

}  // namespace veldng
