#include "registration/IntegralImage.h"

#include <algorithm>

#include "parallel/ProcessPool.h"

namespace velreg {

void IntegralImage::build(const uint8_t* plane, int32_t width, int32_t height)
{
    m_width = std::max(width, 0);
    m_height = std::max(height, 0);
    const size_t stride = this->stride();
    m_sums.resize(stride * (static_cast<size_t>(m_height) + 1));
    uint64_t* sums = m_sums.data();
    std::fill(sums, sums + stride, uint64_t{0});
    // Along the rows, then down the columns: both passes split without overlap.
    velthread::parallelRows(m_height, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint8_t* source = plane + static_cast<size_t>(y) * m_width;
            uint64_t* target = sums + (static_cast<size_t>(y) + 1) * stride;
            uint64_t running = 0;
            target[0] = 0;
            for (int32_t x = 0; x < m_width; ++x) {
                running += source[x];
                target[x + 1] = running;
            }
        }
    });
    velthread::parallelRows(m_width + 1, [&](int32_t begin, int32_t end) {
        for (int32_t y = 1; y <= m_height; ++y) {
            uint64_t* target = sums + static_cast<size_t>(y) * stride;
            const uint64_t* above = target - stride;
            for (int32_t x = begin; x < end; ++x)
                target[x] += above[x];
        }
    });
}

void IntegralImage::release()
{
    m_sums.release();
    m_width = 0;
    m_height = 0;
}

}  // namespace velreg
