#include "image/IntegralImage.h"

namespace velimage {

void IntegralImage::reserve(int32_t width, int32_t height)
{
    m_width = std::max(width, 0);
    m_height = std::max(height, 0);
    const size_t count = stride() * (static_cast<size_t>(m_height) + 1);
    if (count != m_capacity || !m_sums) {
        m_sums.reset();
        m_sums = velmem::allocateBuffer<uint64_t>(count);
        m_capacity = count;
    }
}

void IntegralImage::addColumns()
{
    const size_t stride = this->stride();
    uint64_t* sums = m_sums.get();
    // Bands of columns, each walking every row top to bottom.
    velthread::parallelRows(static_cast<int32_t>(stride), [&](int32_t begin, int32_t end) {
        for (int32_t y = 2; y <= m_height; ++y) {
            uint64_t* target = sums + static_cast<size_t>(y) * stride;
            const uint64_t* above = target - stride;
            for (int32_t x = begin; x < end; ++x)
                target[x] += above[x];
        }
    });
}

void IntegralImage::release()
{
    m_sums.reset();
    m_capacity = 0;
    m_width = 0;
    m_height = 0;
}

}  // namespace velimage
