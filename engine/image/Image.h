#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/Metadata.h"
#include "parallel/LargeBuffer.h"

namespace velimage {

// Interleaved pixel buffer, rows from the top: element (x, y, c) sits at (y·width + x)·channels + c.
// Owns its pixels and its metadata list. Not thread-safe; stages split the rows between workers.
template <typename T>
class Image {
public:
    using Element = T;

    Image() = default;
    virtual ~Image() = default;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    // Frees pixels and metadata; the image becomes 0 × 0.
    virtual void release();
    // Keeps the buffer (and contents) when nothing changes; otherwise a fresh, uninitialised one.
    // Throws std::bad_alloc when the byte count overflows or memory runs out.
    virtual void allocate(int32_t width, int32_t height, int32_t channels);
    // Zeroes every element.
    virtual void clear();

    int32_t width() const { return m_width; }
    int32_t height() const { return m_height; }
    int32_t channels() const { return m_channels; }
    bool empty() const { return !m_pixels; }
    size_t elementCount() const { return static_cast<size_t>(m_width) * m_height * m_channels; }
    size_t rowElements() const { return static_cast<size_t>(m_width) * m_channels; }

    T* data() { return m_pixels.get(); }
    const T* data() const { return m_pixels.get(); }
    T* row(int32_t y) { return m_pixels.get() + static_cast<size_t>(y) * rowElements(); }
    const T* row(int32_t y) const { return m_pixels.get() + static_cast<size_t>(y) * rowElements(); }

    MetadataList* metadata() { return m_metadata.get(); }
    const MetadataList* metadata() const { return m_metadata.get(); }
    // Creates an empty list when there is none.
    MetadataList& ensureMetadata();
    void setMetadata(std::unique_ptr<MetadataList> list) { m_metadata = std::move(list); }
    std::unique_ptr<MetadataList> takeMetadata() { return std::move(m_metadata); }
    void copyMetadataFrom(const MetadataList* list);

    // Swaps size, pixels and metadata with another image of the same element type.
    void swapContent(Image& other) noexcept;

protected:
    int32_t m_width = 0;
    int32_t m_height = 0;
    velmem::Buffer<T> m_pixels;
    int32_t m_channels = 0;
    std::unique_ptr<MetadataList> m_metadata;
};

// Largest element count we accept for one buffer: the byte count must fit in 63 bits.
bool checkedElementCount(int32_t width, int32_t height, int32_t channels, size_t elementSize, size_t& count);

extern template class Image<uint8_t>;
extern template class Image<uint16_t>;
extern template class Image<uint32_t>;
extern template class Image<uint64_t>;
extern template class Image<bool>;

using Image16 = Image<uint16_t>;

}  // namespace velimage
