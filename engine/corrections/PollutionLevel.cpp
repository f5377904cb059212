#include "corrections/PollutionLevel.h"

#include <algorithm>

namespace veltone {

PercentileRule PercentileRule::forStrength(int32_t strength, bool aggressive)
{
    if (strength >= 2)
        return {aggressive ? 0.25 : 0.40, 1, 0};
    if (strength == 1)
        return {aggressive ? 0.10 : 0.20, 1, 0};
    if (strength == 0)
        return aggressive ? PercentileRule{0.01, 15, 4} : PercentileRule{0.01, 1, 0};
    if (strength == -1)
        return {0.01, 3, 2};
    return {0.01, 1, 1};
}

uint64_t PercentileRule::threshold(uint64_t pixels) const
{
    return static_cast<uint64_t>(static_cast<double>(pixels) * m_fraction + 0.5);
}

uint64_t PercentileRule::levelAt(size_t crossing, size_t bins, int32_t binShift) const
{
    // One bin below the one that crosses (the bottom bin for the first); the top bin when none does.
    const uint64_t index = crossing == bins ? bins - 1 : (crossing == 0 ? 0 : crossing - 1);
    return ((index << binShift) * m_numerator) >> m_shift;
}

uint64_t PercentileRule::level(const uint32_t* counts, size_t bins, int32_t binShift, uint64_t pixels) const
{
    const uint64_t limit = threshold(pixels);
    uint64_t cumulative = 0;
    size_t bin = bins;
    for (size_t b = 0; b < bins; ++b) {
        cumulative += counts[b];
        if (cumulative > limit) {
            bin = b;
            break;
        }
    }
    return levelAt(bin, bins, binShift);
}

int32_t binShiftFor(uint64_t maximum)
{
    int32_t shift = 0;
    while ((maximum >> shift) >= LevelBins)
        ++shift;
    return shift;
}

void blockLevels(const velimage::AccumulationImage& image, int32_t x0, int32_t y0, int32_t width, int32_t height,
                 const PercentileRule& rule, std::vector<uint32_t>& counts, uint64_t levels[3])
{
    counts.assign(3 * LevelBins, 0);
    uint32_t* const channelCounts[3] = {counts.data(), counts.data() + LevelBins, counts.data() + 2 * LevelBins};
    for (int32_t y = y0; y < y0 + height; ++y) {
        const uint32_t* pixel = image.row(y) + static_cast<size_t>(x0) * 3;
        for (int32_t x = 0; x < width; ++x, pixel += 3)
            for (int32_t c = 0; c < 3; ++c)
                ++channelCounts[c][std::min<size_t>(pixel[c] >> 4, LevelBins - 1)];
    }
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    for (int32_t c = 0; c < 3; ++c)
        levels[c] = rule.level(channelCounts[c], LevelBins, 4, pixels);
}

uint64_t blockLevel(const velimage::AccumulationImage& image, int32_t x0, int32_t y0, int32_t width, int32_t height,
                    int32_t channel, int32_t strength)
{
    if (image.channels() != 3 || channel < 0 || channel > 2 || width <= 0 || height <= 0 || x0 < 0 || y0 < 0 ||
        x0 + width > image.width() || y0 + height > image.height())
        return 0;
    std::vector<uint32_t> counts;
    uint64_t levels[3];
    blockLevels(image, x0, y0, width, height, PercentileRule::forStrength(strength, false), counts, levels);
    return levels[channel];
}

}  // namespace veltone
