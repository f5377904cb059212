#include "registration/StarCentre.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace velreg {
namespace {

constexpr int32_t kWindowRadius = 4;  // 9 × 9 pixels around the current centre
constexpr int32_t kRingRadius = 6;    // the background comes from the square ring this far out
constexpr float kWeightSigma = 1.5f;  // about a typical star's own spread
constexpr int32_t kMaxRounds = 16;
constexpr float kSettled = 1e-3f;   // pixels
constexpr float kMaxWander = 1.5f;  // a centre further than this from the detected pixel is not the star's

struct LuminanceView {
    const velimage::Image16& frame;
    int32_t channels;

    // R + 2·G + B, as the detector weighs the channels, at full 16-bit depth.
    float at(int32_t x, int32_t y) const
    {
        const uint16_t* p = frame.row(y) + static_cast<size_t>(x) * channels;
        return channels >= 3 ? static_cast<float>(p[0] + 2 * p[1] + p[2]) : static_cast<float>(p[0]);
    }
};

float ringMedian(const LuminanceView& lum, int32_t x, int32_t y)
{
    std::array<float, 8 * kRingRadius> ring;
    size_t n = 0;
    for (int32_t d = -kRingRadius; d < kRingRadius; ++d) {
        ring[n++] = lum.at(x + d, y - kRingRadius);
        ring[n++] = lum.at(x + kRingRadius, y + d);
        ring[n++] = lum.at(x - d, y + kRingRadius);
        ring[n++] = lum.at(x - kRingRadius, y - d);
    }
    std::nth_element(ring.begin(), ring.begin() + n / 2, ring.begin() + n);
    return ring[n / 2];
}

}  // namespace

bool measureStarCentre(const velimage::Image16& frame, int32_t x, int32_t y, float& outX, float& outY)
{
    outX = static_cast<float>(x);
    outY = static_cast<float>(y);
    // Room for the ring, and for the window to follow the centre by up to kMaxWander.
    const int32_t reach = std::max(kRingRadius, kWindowRadius + 2);
    if (frame.channels() < 1 || x < reach || y < reach || x >= frame.width() - reach || y >= frame.height() - reach)
        return false;
    const LuminanceView lum{frame, frame.channels()};
    const float background = ringMedian(lum, x, y);
    const float inverseTwoSigma2 = 1.0f / (2.0f * kWeightSigma * kWeightSigma);

    float cx = outX, cy = outY;
    for (int32_t round = 0; round < kMaxRounds; ++round) {
        const int32_t ix = static_cast<int32_t>(std::lround(cx)), iy = static_cast<int32_t>(std::lround(cy));
        float sum = 0.0f, sx = 0.0f, sy = 0.0f;
        for (int32_t py = iy - kWindowRadius; py <= iy + kWindowRadius; ++py) {
            const float dy = static_cast<float>(py) - cy;
            for (int32_t px = ix - kWindowRadius; px <= ix + kWindowRadius; ++px) {
                const float dx = static_cast<float>(px) - cx;
                const float weighted = (lum.at(px, py) - background) * std::exp(-(dx * dx + dy * dy) * inverseTwoSigma2);
                sum += weighted;
                sx += weighted * dx;
                sy += weighted * dy;
            }
        }
        if (!(sum > 0.0f))
            return false;
        // Twice the weighted offset: for a star about as wide as the weight this lands close to the
        // centre in one step; the fixed point is the centre of any symmetric star.
        const float nx = cx + 2.0f * sx / sum, ny = cy + 2.0f * sy / sum;
        if (!(std::fabs(nx - static_cast<float>(x)) <= kMaxWander && std::fabs(ny - static_cast<float>(y)) <= kMaxWander))
            return false;
        const float moved = std::fabs(nx - cx) + std::fabs(ny - cy);
        cx = nx;
        cy = ny;
        if (moved < kSettled)
            break;
    }
    outX = cx;
    outY = cy;
    return true;
}

void measureStarCentres(const velimage::Image16& frame, StarPattern& pattern)
{
    pattern.centres.resize(pattern.descriptors.size());
    for (size_t i = 0; i < pattern.descriptors.size(); ++i) {
        const Star& star = pattern.descriptors[i].star;
        SubPixel& centre = pattern.centres[i];
        if (!measureStarCentre(frame, star.x, star.y, centre.x, centre.y))
            centre.x = centre.y = std::numeric_limits<float>::quiet_NaN();
    }
}

}  // namespace velreg
