#pragma once

#include <cstdint>

#include "integration/SampleRounding.h"

namespace velstack {

// Weight that rises linearly from 0 on a directed line to 1 at `width` pixels on its positive
// side: the side where (x − x0)·dy − (y − y0)·dx > 0. A plain value, read by many jobs at once.
class GradientRamp {
public:
    GradientRamp() = default;
    // (x0, y0) is the line's start, (dx, dy) its direction, width the transition in pixels.
    GradientRamp(int32_t x0, int32_t y0, int32_t dx, int32_t dy, float width);

    float weightAt(int32_t x, int32_t y) const
    {
        // 64-bit so that far-away lines cannot overflow; identical to 32-bit on any real frame.
        const int64_t cross = (static_cast<int64_t>(x) - m_x0) * m_dy - (static_cast<int64_t>(y) - m_y0) * m_dx;
        const float distance = static_cast<float>(cross);
        if (distance <= 0.0f)
            return 0.0f;
        if (distance >= m_span)
            return 1.0f;
        return distance / m_span;
    }

    float width() const { return m_width; }
    // The same ramp on an image merged 2 × 2 (coordinates and width halved, integer halving).
    GradientRamp halved() const;

private:
    int32_t m_x0 = 0, m_y0 = 0, m_dx = 0, m_dy = 0;
    float m_width = 0.0f;
    float m_length = 0.0f;
    float m_span = 0.0f;  // length · width
};

// Scales a sample by a region weight: ≥ 1 keeps it, 0 zeroes it, otherwise round(v·w) half up.
inline uint32_t weighSample(uint32_t value, float weight)
{
    if (weight >= 1.0f)
        return value;
    if (weight == 0.0f)
        return 0;
    return roundHalfUp(static_cast<float>(value) * weight);
}

}  // namespace velstack
