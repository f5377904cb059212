#pragma once

#include <cmath>
#include <cstdint>

namespace velstack {

// Share of the sky in an output pixel, c in [0, 1], for the per-pixel integration modes: from the
// soft sky mask (value / 65535), from a ramp on a directed line (0 on and behind it, 1 at `span`
// pixels on its positive side, linear between), or one value everywhere. A plain value, read by
// every pass job at once.
class SkyWeight {
public:
    static SkyWeight everywhere(double c)
    {
        SkyWeight w;
        w.m_constant = c;
        return w;
    }
    // `mask` is one 16-bit value per pixel, `width` values per row; borrowed.
    static SkyWeight fromMask(const uint16_t* mask, int32_t width)
    {
        SkyWeight w;
        w.m_kind = Kind::Mask;
        w.m_mask = mask;
        w.m_width = width;
        return w;
    }
    // Line from (x0, y0) along (dx, dy); the ramp is `width` pixels wide.
    static SkyWeight fromRamp(int32_t x0, int32_t y0, int32_t dx, int32_t dy, double width)
    {
        SkyWeight w;
        w.m_kind = Kind::Ramp;
        w.m_x0 = x0;
        w.m_y0 = y0;
        w.m_dx = dx;
        w.m_dy = dy;
        w.m_span = std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy) * width;
        return w;
    }

    double at(int32_t x, int32_t y) const
    {
        switch (m_kind) {
        case Kind::Mask: return m_mask[static_cast<size_t>(y) * m_width + x] / 65535.0;
        case Kind::Ramp: {
            const int64_t cross = (static_cast<int64_t>(x) - m_x0) * m_dy - (static_cast<int64_t>(y) - m_y0) * m_dx;
            if (cross <= 0)
                return 0.0;
            const double d = static_cast<double>(cross);
            return d >= m_span ? 1.0 : d / m_span;
        }
        default: return m_constant;
        }
    }
    // The same value at every pixel (no mask, no ramp).
    bool uniform() const { return m_kind == Kind::Constant; }

private:
    enum class Kind { Constant, Mask, Ramp };
    Kind m_kind = Kind::Constant;
    double m_constant = 1.0;
    const uint16_t* m_mask = nullptr;
    int32_t m_width = 0;
    int32_t m_x0 = 0, m_y0 = 0, m_dx = 0, m_dy = 0;
    double m_span = 0.0;
};

}  // namespace velstack
