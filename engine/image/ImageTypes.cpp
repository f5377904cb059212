#include "image/ImageTypes.h"

#include <algorithm>
#include <new>

#include "parallel/WholeFile.h"

namespace velimage {

namespace {
void noDecoder(JpegImage::DecoderState*) {}
}  // namespace

JpegImage::JpegImage() : m_decoder(nullptr, noDecoder) {}
JpegImage::~JpegImage() = default;

void JpegImage::release()
{
    m_decoder.reset();
    Image8::release();
}

bool PostWeightedImage::save(const std::wstring& path)
{
    if (!m_pixels && elementCount() > 0)
        return false;
    return velfile::writeWholeFile(path, m_pixels.get(), elementCount() * sizeof(uint16_t));
}

template <typename T>
void WeightedImage<T>::release()
{
    m_weights.reset();
    m_maxWeight = 0.0f;
    m_normalized = false;
    Image<T>::release();
}

template <typename T>
void WeightedImage<T>::allocate(int32_t width, int32_t height, int32_t channels)
{
    Image<T>::allocate(width, height, channels);
    size_t count = 0;
    if (!checkedElementCount(width, height, 1, sizeof(float), count))
        throw std::bad_alloc();
    m_weights.reset();
    if (count > 0)
        m_weights.reset(new float[count]);
}

template <typename T>
void WeightedImage<T>::clear()
{
    Image<T>::clear();
    if (m_weights)
        std::fill_n(m_weights.get(), static_cast<size_t>(this->m_width) * this->m_height, 1.0f);
}

template class WeightedImage<uint32_t>;

}  // namespace velimage
