#include "image/Image.h"

#include <algorithm>
#include <limits>
#include <new>

namespace velimage {

bool checkedElementCount(int32_t width, int32_t height, int32_t channels, size_t elementSize, size_t& count)
{
    if (width < 0 || height < 0 || channels < 0)
        return false;
    uint64_t elements = 0, bytes = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(width), static_cast<uint64_t>(height), &elements) ||
        __builtin_mul_overflow(elements, static_cast<uint64_t>(channels), &elements) ||
        __builtin_mul_overflow(elements, static_cast<uint64_t>(elementSize), &bytes) ||
        bytes > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return false;
    count = static_cast<size_t>(elements);
    return true;
}

template <typename T>
void Image<T>::release()
{
    m_pixels.reset();
    m_metadata.reset();
    m_width = 0;
    m_height = 0;
}

template <typename T>
void Image<T>::allocate(int32_t width, int32_t height, int32_t channels)
{
    if (width == m_width && height == m_height && channels == m_channels)
        return;
    size_t count = 0;
    if (!checkedElementCount(width, height, channels, sizeof(T), count))
        throw std::bad_alloc();
    m_pixels.reset();
    m_width = m_height = 0;
    if (count > 0)
        m_pixels = velmem::allocateBuffer<T>(count);  // uninitialised on purpose: stages write before reading
    m_width = width;
    m_height = height;
    m_channels = channels;
}

template <typename T>
void Image<T>::clear()
{
    if (m_pixels)
        std::fill_n(m_pixels.get(), elementCount(), T{});
}

template <typename T>
MetadataList& Image<T>::ensureMetadata()
{
    if (!m_metadata)
        m_metadata = std::make_unique<MetadataList>();
    return *m_metadata;
}

template <typename T>
void Image<T>::copyMetadataFrom(const MetadataList* list)
{
    m_metadata = list ? std::make_unique<MetadataList>(*list) : nullptr;
}

template <typename T>
void Image<T>::swapContent(Image& other) noexcept
{
    std::swap(m_width, other.m_width);
    std::swap(m_height, other.m_height);
    std::swap(m_pixels, other.m_pixels);
    std::swap(m_channels, other.m_channels);
    std::swap(m_metadata, other.m_metadata);
}

template class Image<uint8_t>;
template class Image<uint16_t>;
template class Image<uint32_t>;
template class Image<uint64_t>;
template class Image<bool>;

}  // namespace velimage
