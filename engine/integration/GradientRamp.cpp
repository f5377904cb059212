#include "integration/GradientRamp.h"

#include <cmath>

namespace velstack {

GradientRamp::GradientRamp(int32_t x0, int32_t y0, int32_t dx, int32_t dy, float width)
    : m_x0(x0), m_y0(y0), m_dx(dx), m_dy(dy), m_width(width)
{
    const float fdx = static_cast<float>(dx), fdy = static_cast<float>(dy);
    m_length = std::sqrt(fdx * fdx + fdy * fdy);
    m_span = m_length * m_width;
}

GradientRamp GradientRamp::halved() const
{
    return GradientRamp(m_x0 / 2, m_y0 / 2, m_dx / 2, m_dy / 2, static_cast<float>(static_cast<int32_t>(m_width) / 2));
}

}  // namespace velstack
