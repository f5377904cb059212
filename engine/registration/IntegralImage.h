#pragma once

#include <cstddef>
#include <cstdint>

#include "registration/PlaneBuffer.h"

namespace velreg {

// Summed-area table of an 8-bit plane: (width + 1) × (height + 1) entries, first row and column 0,
// entry (y, x) = sum over rows 0 … y − 1 and columns 0 … x − 1. Built on the process pool.
class IntegralImage {
public:
    void build(const uint8_t* plane, int32_t width, int32_t height);
    void release();

    int32_t width() const { return m_width; }
    int32_t height() const { return m_height; }
    const uint64_t* row(int32_t y) const { return m_sums.data() + static_cast<size_t>(y) * (m_width + 1); }
    size_t stride() const { return static_cast<size_t>(m_width) + 1; }

    // Sum over the square of half-size `radius` centred on (x, y); the square must lie inside.
    uint64_t squareSum(int32_t x, int32_t y, int32_t radius) const
    {
        const uint64_t* top = row(y - radius);
        const uint64_t* bottom = row(y + radius + 1);
        return bottom[x + radius + 1] - bottom[x - radius] - top[x + radius + 1] + top[x - radius];
    }

private:
    PlaneBuffer<uint64_t> m_sums;
    int32_t m_width = 0;
    int32_t m_height = 0;
};

}  // namespace velreg
