#include "image/RawReply.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/ImageLimits.h"
#include "image/RowSink.h"

namespace velimage {

namespace {

// Far above any list the RAW reader builds (a dozen entries, texts of LibRaw's fixed fields).
constexpr uint32_t kMaxMetadataBytes = 65536;

template <typename T>
void append(std::vector<uint8_t>& bytes, T value)
{
    const auto* raw = reinterpret_cast<const uint8_t*>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof value);
}

// Per entry: key (32 bits), then by type the text's length (32 bits) and bytes, a float or a
// 16-bit value.
std::vector<uint8_t> encodedMetadata(const MetadataList* list)
{
    std::vector<uint8_t> bytes;
    if (!list)
        return bytes;
    for (const MetadataEntry& entry : list->entries()) {
        append(bytes, entry.key);
        switch (entry.type()) {
        case MetadataEntry::Text:
            append(bytes, static_cast<uint32_t>(entry.text.size()));
            bytes.insert(bytes.end(), entry.text.begin(), entry.text.end());
            break;
        case MetadataEntry::Float: append(bytes, entry.number); break;
        case MetadataEntry::Short: append(bytes, entry.shortValue); break;
        }
    }
    return bytes;
}

class MetadataCursor {
public:
    explicit MetadataCursor(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}
    bool atEnd() const { return m_at == m_bytes.size(); }

    template <typename T>
    bool take(T& value)
    {
        if (m_bytes.size() - m_at < sizeof value)
            return false;
        std::memcpy(&value, m_bytes.data() + m_at, sizeof value);
        m_at += sizeof value;
        return true;
    }
    bool takeText(std::string& text)
    {
        uint32_t length = 0;
        if (!take(length) || m_bytes.size() - m_at < length)
            return false;
        text.assign(reinterpret_cast<const char*>(m_bytes.data() + m_at), length);
        m_at += length;
        return true;
    }

private:
    const std::vector<uint8_t>& m_bytes;
    size_t m_at = 0;
};

bool decodedMetadata(const std::vector<uint8_t>& bytes, MetadataList& list)
{
    MetadataCursor cursor(bytes);
    while (!cursor.atEnd()) {
        uint32_t key = 0;
        if (!cursor.take(key))
            return false;
        const auto tag = static_cast<uint16_t>(key >> 8);
        if (key >> 24 != 0)
            return false;
        switch (key & 0xFF) {
        case MetadataEntry::Text: {
            std::string text;
            if (!cursor.takeText(text))
                return false;
            list.setText(tag, std::move(text));
            break;
        }
        case MetadataEntry::Float: {
            float number = 0.0f;
            if (!cursor.take(number))
                return false;
            list.setFloat(tag, number);
            break;
        }
        case MetadataEntry::Short: {
            uint16_t value = 0;
            if (!cursor.take(value))
                return false;
            list.setShort(tag, value);
            break;
        }
        default: return false;
        }
    }
    return true;
}

}  // namespace

bool writeRawReply(int fd, const RawImage& image)
{
    const std::vector<uint8_t> metadata = encodedMetadata(image.metadata());
    if (image.empty() || metadata.size() > kMaxMetadataBytes)
        return false;
    return velraw::writeReplyHeader(fd, static_cast<uint32_t>(image.width()), static_cast<uint32_t>(image.height()),
                                    static_cast<uint32_t>(image.channels()), sizeof(uint16_t),
                                    static_cast<uint32_t>(metadata.size())) &&
           velraw::writeAll(fd, metadata.data(), metadata.size()) &&
           velraw::writeAll(fd, image.data(), image.elementCount() * sizeof(uint16_t)) && velraw::writeReplyEnd(fd);
}

bool readRawReply(const velraw::ReplyReader& read, RawImage& image, RowSink* sink)
{
    const velraw::ReplyLimits limits{kMaxImageSide, kMaxImagePixels, 1, 4, sizeof(uint16_t), kMaxMetadataBytes};
    const auto header = velraw::readReplyHeader(read, limits);
    if (!header)
        return false;
    std::vector<uint8_t> metadata(header->metadataBytes);
    auto list = std::make_unique<MetadataList>();
    if (!read(metadata.data(), metadata.size()) || !decodedMetadata(metadata, *list))
        return false;
    image.allocate(static_cast<int32_t>(header->width), static_cast<int32_t>(header->height),
                   static_cast<int32_t>(header->channels));
    if (!sink) {
        if (!read(image.data(), header->pixelBytes()))
            return false;
    } else {
        // A few rows at a time, so the sink works on rows that just arrived.
        sink->begin(image);
        const size_t rowBytes = image.rowElements() * sizeof(uint16_t);
        for (int32_t y = 0; y < image.height(); y += kRowSinkStep) {
            const int32_t end = std::min(image.height(), y + kRowSinkStep);
            if (!read(image.row(y), rowBytes * static_cast<size_t>(end - y)))
                return false;
            sink->rowsDecoded(end);
        }
        sink->finish();
    }
    image.setMetadata(std::move(list));
    return true;
}

}  // namespace velimage
