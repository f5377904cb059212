#include "ImageHeaderSize.h"

#include <array>
#include <cstring>
#include <vector>

namespace velapp {

namespace {

uint64_t bigEndian(const unsigned char* bytes, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

uint64_t ordered(const unsigned char* bytes, int count, bool little)
{
    if (!little)
        return bigEndian(bytes, count);
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

bool isStartOfFrame(unsigned marker)
{
    // C4 (Huffman tables), C8 (reserved) and CC (arithmetic conditioning) share the range.
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Walks the marker segments up to the first frame header. The walk is bounded so that a file of
// fill bytes cannot keep it busy.
std::optional<DeclaredSize> jpegSize(const ReadOnlyFile& file)
{
    constexpr int kMaxSteps = 1 << 16;
    uint64_t position = 2;
    for (int step = 0; step < kMaxSteps; ++step) {
        unsigned char prefix = 0;
        if (!file.readAt(position, &prefix, 1) || prefix != 0xFF)
            return std::nullopt;
        unsigned char marker = 0xFF;
        while (marker == 0xFF && step++ < kMaxSteps)
            if (!file.readAt(++position, &marker, 1))
                return std::nullopt;
        if (marker == 0xFF)
            return std::nullopt;
        ++position;
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01)
            continue;
        if (marker == 0xD9 || marker == 0xDA || marker == 0x00)
            return std::nullopt;  // no frame header before the image data
        unsigned char header[7];
        if (!file.readAt(position, header, isStartOfFrame(marker) ? 7 : 2))
            return std::nullopt;
        const uint64_t length = bigEndian(header, 2);
        if (length < 2)
            return std::nullopt;
        if (isStartOfFrame(marker))
            return DeclaredSize{static_cast<int64_t>(bigEndian(header + 5, 2)),
                                static_cast<int64_t>(bigEndian(header + 3, 2))};
        position += length;
    }
    return std::nullopt;
}

std::optional<DeclaredSize> pngSize(const ReadOnlyFile& file)
{
    unsigned char header[24];
    if (!file.readAt(0, header, sizeof header) || std::memcmp(header + 12, "IHDR", 4) != 0)
        return std::nullopt;
    return DeclaredSize{static_cast<int64_t>(bigEndian(header + 16, 4)),
                        static_cast<int64_t>(bigEndian(header + 20, 4))};
}

// Classic TIFF (12-byte entries, 32-bit offsets) and BigTIFF (20-byte entries, 64-bit offsets).
std::optional<DeclaredSize> tiffSize(const ReadOnlyFile& file, bool little)
{
    constexpr uint16_t kImageWidth = 256, kImageLength = 257;
    constexpr uint16_t kShort = 3, kLong = 4, kLong8 = 16;
    unsigned char header[16];
    if (!file.readAt(0, header, 8))
        return std::nullopt;
    const uint64_t version = ordered(header + 2, 2, little);
    if (version != 42 && version != 43)
        return std::nullopt;
    const bool big = version == 43;
    if (big && !file.readAt(0, header, 16))
        return std::nullopt;
    const uint64_t directory = big ? ordered(header + 8, 8, little) : ordered(header + 4, 4, little);
    // An entry is tag (2 bytes), type (2), count (4 or 8) and value (4 or 8, a short left-justified).
    const int countBytes = big ? 8 : 2, entryBytes = big ? 20 : 12, entryCountBytes = big ? 8 : 4;

    unsigned char countField[8];
    if (!file.readAt(directory, countField, countBytes))
        return std::nullopt;
    const uint64_t entries = ordered(countField, countBytes, little);
    if (entries == 0 || entries > 0xFFFF)
        return std::nullopt;
    std::vector<unsigned char> table(entries * entryBytes);
    if (!file.readAt(directory + countBytes, table.data(), table.size()))
        return std::nullopt;

    DeclaredSize size;
    for (uint64_t i = 0; i < entries; ++i) {
        const unsigned char* entry = table.data() + i * entryBytes;
        const uint64_t tag = ordered(entry, 2, little), type = ordered(entry + 2, 2, little);
        if (tag != kImageWidth && tag != kImageLength)
            continue;
        const unsigned char* value = entry + 4 + entryCountBytes;
        const int bytes = type == kShort ? 2 : type == kLong ? 4 : type == kLong8 && big ? 8 : 0;
        if (bytes == 0)
            return std::nullopt;
        const uint64_t extent = ordered(value, bytes, little);
        if (extent > 0x7FFFFFFF)
            return std::nullopt;
        (tag == kImageWidth ? size.width : size.height) = static_cast<int64_t>(extent);
    }
    if (size.width == 0 || size.height == 0)
        return std::nullopt;
    return size;
}

}  // namespace

std::optional<DeclaredSize> declaredImageSize(const ReadOnlyFile& file)
{
    static constexpr std::array<unsigned char, 8> kPngSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    unsigned char magic[8];
    if (!file.readAt(0, magic, sizeof magic))
        return std::nullopt;
    if (magic[0] == 0xFF && magic[1] == 0xD8)
        return jpegSize(file);
    if (std::memcmp(magic, kPngSignature.data(), kPngSignature.size()) == 0)
        return pngSize(file);
    if ((magic[0] == 'I' && magic[1] == 'I') || (magic[0] == 'M' && magic[1] == 'M'))
        return tiffSize(file, magic[0] == 'I');
    return std::nullopt;
}

}  // namespace velapp
