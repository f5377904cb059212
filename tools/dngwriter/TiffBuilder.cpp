#include "TiffBuilder.h"

#include <stdexcept>

namespace veldng {

namespace {

enum : uint16_t { Byte = 1, Ascii = 2, Short = 3, Long = 4, Rational = 5, SignedRational = 10 };

void putLittle(std::vector<uint8_t>& out, uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

class Writer {
public:
    explicit Writer(bool bigEndian) : m_big(bigEndian) {}

    std::vector<uint8_t> build(const TiffDirectory& first)
    {
        m_out = m_big ? std::vector<uint8_t>{'M', 'M'} : std::vector<uint8_t>{'I', 'I'};
        put(42, 2);
        put(8, 4);
        writeDirectory(first);
        return std::move(m_out);
    }

private:
    void put(uint64_t value, int size)
    {
        for (int i = 0; i < size; ++i)
            m_out.push_back(static_cast<uint8_t>(value >> (8 * (m_big ? size - 1 - i : i))));
    }

    void patch(size_t at, uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            m_out[at + i] = static_cast<uint8_t>(value >> (8 * (m_big ? 3 - i : i)));
    }

    // Values are kept little-endian per element; reorder each element for the file.
    void putValue(const TiffDirectory::Entry& entry)
    {
        const auto& v = entry.littleEndianValue;
        const size_t size = static_cast<size_t>(entry.elementSize);
        for (size_t at = 0; at < v.size(); at += size)
            for (size_t i = 0; i < size; ++i)
                m_out.push_back(v[at + (m_big ? size - 1 - i : i)]);
    }

    void align()
    {
        if (m_out.size() % 2)
            m_out.push_back(0);
    }

    void writeDirectory(const TiffDirectory& directory)
    {
        align();
        const auto& entries = directory.entries();
        put(entries.size(), 2);
        std::vector<std::pair<size_t, const TiffDirectory::Entry*>> slots;
        for (const auto& [tag, entry] : entries) {
            put(tag, 2);
            put(entry.type, 2);
            put(entry.count, 4);
            slots.emplace_back(m_out.size(), &entry);
            put(0, 4);
        }
        put(0, 4);  // no next directory
        for (auto& [slot, entry] : slots) {
            if (entry->child || entry->stripOffset)
                continue;
            if (entry->littleEndianValue.size() <= 4) {
                const size_t end = m_out.size();
                putValue(*entry);
                // Move the just-written bytes into the entry's value field (left-justified).
                std::vector<uint8_t> value(m_out.begin() + end, m_out.end());
                m_out.resize(end);
                for (size_t i = 0; i < value.size(); ++i)
                    m_out[slot + i] = value[i];
                continue;
            }
            align();
            patch(slot, static_cast<uint32_t>(m_out.size()));
            putValue(*entry);
        }
        for (auto& [slot, entry] : slots) {
            if (entry->child) {
                align();
                patch(slot, static_cast<uint32_t>(m_out.size()));
                writeDirectory(*entry->child);
            }
        }
        for (auto& [slot, entry] : slots) {
            if (entry->stripOffset) {
                align();
                patch(slot, static_cast<uint32_t>(m_out.size()));
                const auto& data = directory.stripData();
                m_out.insert(m_out.end(), data.begin(), data.end());
            }
        }
    }

    bool m_big;
    std::vector<uint8_t> m_out;
};

}  // namespace

void TiffDirectory::add(uint16_t tag, uint16_t type, uint32_t count, int elementSize, std::vector<uint8_t> value)
{
    Entry entry;
    entry.type = type;
    entry.count = count;
    entry.elementSize = elementSize;
    entry.littleEndianValue = std::move(value);
    m_entries[tag] = std::move(entry);
}

void TiffDirectory::ascii(uint16_t tag, const std::string& text)
{
    std::vector<uint8_t> value(text.begin(), text.end());
    value.push_back(0);
    const auto count = static_cast<uint32_t>(value.size());
    add(tag, Ascii, count, 1, std::move(value));
}

void TiffDirectory::bytes(uint16_t tag, const std::vector<uint8_t>& values)
{
    add(tag, Byte, static_cast<uint32_t>(values.size()), 1, values);
}

void TiffDirectory::shorts(uint16_t tag, const std::vector<uint16_t>& values)
{
    std::vector<uint8_t> value;
    for (uint16_t v : values)
        putLittle(value, v, 2);
    add(tag, Short, static_cast<uint32_t>(values.size()), 2, std::move(value));
}

void TiffDirectory::longs(uint16_t tag, const std::vector<uint32_t>& values)
{
    std::vector<uint8_t> value;
    for (uint32_t v : values)
        putLittle(value, v, 4);
    add(tag, Long, static_cast<uint32_t>(values.size()), 4, std::move(value));
}

void TiffDirectory::rationals(uint16_t tag, const std::vector<std::pair<uint32_t, uint32_t>>& values)
{
    std::vector<uint8_t> value;
    for (auto [n, d] : values) {
        putLittle(value, n, 4);
        putLittle(value, d, 4);
    }
    add(tag, Rational, static_cast<uint32_t>(values.size()), 4, std::move(value));
}

void TiffDirectory::signedRationals(uint16_t tag, const std::vector<std::pair<int32_t, int32_t>>& values)
{
    std::vector<uint8_t> value;
    for (auto [n, d] : values) {
        putLittle(value, static_cast<uint32_t>(n), 4);
        putLittle(value, static_cast<uint32_t>(d), 4);
    }
    add(tag, SignedRational, static_cast<uint32_t>(values.size()), 4, std::move(value));
}

void TiffDirectory::pointer(uint16_t tag, const TiffDirectory* child)
{
    add(tag, Long, 1, 4, std::vector<uint8_t>(4, 0));
    m_entries[tag].child = child;
}

void TiffDirectory::strip(std::vector<uint8_t> data)
{
    const auto size = static_cast<uint32_t>(data.size());
    m_strip = std::move(data);
    longs(273, {0});
    m_entries[273].stripOffset = true;
    longs(279, {size});
}

std::vector<uint8_t> buildTiff(const TiffDirectory& first, bool bigEndian)
{
    if (first.entries().empty())
        throw std::invalid_argument("empty TIFF directory");
    return Writer(bigEndian).build(first);
}

}  // namespace veldng

namespace veldng {

std::vector<uint8_t> withExifBlock(const std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& tiff)
{
    const size_t length = 2 + 6 + tiff.size();  // the length field counts itself
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8 || length > 0xFFFF)
        throw std::invalid_argument("not a JPEG or Exif block too large");
    std::vector<uint8_t> out = {0xFF, 0xD8, 0xFF, 0xE1, static_cast<uint8_t>(length >> 8),
                                static_cast<uint8_t>(length), 'E', 'x', 'i', 'f', 0, 0};
    out.reserve(out.size() + tiff.size() + jpeg.size());
    out.insert(out.end(), tiff.begin(), tiff.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

}  // namespace veldng
