#include "registration/StarExtractor.h"

#include <algorithm>

#include "registration/StarSuppressor.h"

namespace velreg {
namespace {

constexpr DetectionLevel kLevels[2] = {
    {3, 8, 32, 4096, 1741},  // 4.0 and 1.7
    {1, 8, 24, 2662, 1741},  // 2.6 and 1.7
};

// A contrast above this means the inner mean lies at least 32 levels above the ring mean.
constexpr int64_t kStrongContrast = 32767;

int64_t thresholdFor(const DetectionLevel& level, int64_t boxSum)
{
    const int64_t area = int64_t{2 * level.boxRadius + 1} * (2 * level.boxRadius + 1);
    const int64_t low = area * level.lowMean;
    const int64_t high = area * level.highMean;
    if (boxSum < low)
        return level.lowThreshold;
    if (boxSum > high)
        return level.highThreshold;
    return level.lowThreshold + (boxSum - low) * (level.highThreshold - level.lowThreshold) / (high - low);
}

// Sums over the squares of radius 0 … reach centred on (x, y), each from the one inside it plus its
// border. Only the few pixels left after suppression need them, so no table is kept for the frame.
void squareSumsAround(const StarDetector::Planes& planes, int32_t x, int32_t y, int32_t reach, int64_t* sums)
{
    const uint8_t* centre = planes.luminance.data() + static_cast<size_t>(y) * planes.width + x;
    const ptrdiff_t stride = planes.width;
    int64_t sum = centre[0];
    sums[0] = sum;
    for (int32_t r = 1; r <= reach; ++r) {
        const uint8_t* top = centre - r * stride;
        const uint8_t* bottom = centre + r * stride;
        for (int32_t d = -r; d <= r; ++d)
            sum += top[d] + bottom[d];
        for (int32_t d = -r + 1; d <= r - 1; ++d)
            sum += centre[d * stride - r] + centre[d * stride + r];
        sums[r] = sum;
    }
}

// Largest inner mean minus ring mean (both in 1024ths) over the square radii r0 … r1.
int64_t contrastOf(const int64_t* sums, int32_t r0, int32_t r1)
{
    int64_t best = 0;
    for (int32_t k = r0; k <= r1; ++k) {
        const int64_t innerArea = int64_t{2 * k + 1} * (2 * k + 1);
        const int64_t ringArea = int64_t{2 * k + 7} * (2 * k + 7) - innerArea;
        const int64_t inner = sums[k];
        const int64_t ring = std::max<int64_t>(sums[k + 3] - inner, 1);
        best = std::max(best, 1024 * inner / innerArea - 1024 * ring / ringArea);
    }
    return best;
}

}  // namespace

const DetectionLevel& detectionLevel(int32_t level) { return kLevels[level <= 0 ? 0 : 1]; }

StarExtractor::StarExtractor(const StarDetector::Planes& planes, int32_t r0, int32_t r1, int32_t margin,
                             const DetectionLevel& level)
    : m_planes(planes),
      m_r0(r0),
      m_r1(r1),
      m_margin(margin),
      m_level(level),
      m_reach(std::max(r1 + 3, level.boxRadius)),
      m_sums(static_cast<size_t>(m_reach) + 1)
{
}

void StarExtractor::rows(int32_t begin, int32_t end, StarList& stars)
{
    for (int32_t y = std::max(begin, m_margin); y < std::min(end, m_planes.height - m_margin); ++y)
        forEachClear(m_planes, y, m_margin, m_planes.width - m_margin - 1, [&](int32_t x) {
            const uint32_t ratio = m_planes.ratio[static_cast<size_t>(y) * m_planes.width + x];
            squareSumsAround(m_planes, x, y, m_reach, m_sums.data());
            if (ratio > thresholdFor(m_level, m_sums[static_cast<size_t>(m_level.boxRadius)]) ||
                contrastOf(m_sums.data(), m_r0, m_r1) > kStrongContrast)
                stars.push_back(Star{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<int32_t>(ratio)});
            return true;
        });
}

}  // namespace velreg
