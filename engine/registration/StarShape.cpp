#include "registration/StarShape.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace velreg {
namespace {

constexpr int32_t kWindowRadius = 4;
constexpr int32_t kRingRadius = 6;
// A round star measures about 1, a neighbour or noise pushes that towards 2; a line across the
// window measures 4 or more.
constexpr float kStreakElongation = 3.0f;

float lumAt(const velimage::Image16& frame, int32_t x, int32_t y)
{
    const uint16_t* p = frame.row(y) + static_cast<size_t>(x) * frame.channels();
    return frame.channels() >= 3 ? static_cast<float>(p[0] + 2 * p[1] + p[2]) : static_cast<float>(p[0]);
}

}  // namespace

float elongationAt(const velimage::Image16& frame, int32_t x, int32_t y)
{
    if (frame.channels() < 1 || x < kRingRadius || y < kRingRadius || x >= frame.width() - kRingRadius ||
        y >= frame.height() - kRingRadius)
        return 0.0f;
    std::array<float, 8 * kRingRadius> ring;
    size_t n = 0;
    for (int32_t d = -kRingRadius; d < kRingRadius; ++d) {
        ring[n++] = lumAt(frame, x + d, y - kRingRadius);
        ring[n++] = lumAt(frame, x + kRingRadius, y + d);
        ring[n++] = lumAt(frame, x - d, y + kRingRadius);
        ring[n++] = lumAt(frame, x - kRingRadius, y - d);
    }
    std::nth_element(ring.begin(), ring.begin() + n / 2, ring.end());
    const float background = ring[n / 2];
    double sum = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int32_t dy = -kWindowRadius; dy <= kWindowRadius; ++dy)
        for (int32_t dx = -kWindowRadius; dx <= kWindowRadius; ++dx) {
            const double v = std::max(0.0f, lumAt(frame, x + dx, y + dy) - background);
            sum += v, sx += v * dx, sy += v * dy;
            sxx += v * dx * dx, syy += v * dy * dy, sxy += v * dx * dy;
        }
    if (!(sum > 0))
        return 0.0f;
    const double mx = sx / sum, my = sy / sum;
    const double cxx = sxx / sum - mx * mx, cyy = syy / sum - my * my, cxy = sxy / sum - mx * my;
    const double half = 0.5 * (cxx + cyy), root = std::sqrt(0.25 * (cxx - cyy) * (cxx - cyy) + cxy * cxy);
    const double major = half + root, minor = half - root;
    if (!(minor > 1e-6))
        return major > 0 ? 1e6f : 0.0f;
    return static_cast<float>(major / minor);
}

void dropStreakPoints(const velimage::Image16& frame, StarList& stars)
{
    stars.erase(std::remove_if(stars.begin(), stars.end(),
                               [&](const Star& s) { return elongationAt(frame, s.x, s.y) > kStreakElongation; }),
                stars.end());
}

}  // namespace velreg
