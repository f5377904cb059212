#include "registration/DetectionGain.h"

#include <algorithm>
#include <vector>

#include "registration/StarDetector.h"

namespace velreg {
namespace {

constexpr uint64_t kTargetSum = 48u * 1024u;    // R + 2·G + B of luminance 48, above both high means
constexpr uint32_t kMaxGain16 = kMaxDetectionGain16;
static_assert(kMaxGain16 == 32 * kUnitGain16);

}  // namespace

uint32_t detectionGain16(const velimage::Image16& frame)
{
    if (frame.empty() || frame.channels() < 1)
        return kUnitGain16;
    const int32_t channels = frame.channels();
    std::vector<uint32_t> sums;
    sums.reserve(static_cast<size_t>(frame.width() / kGainSampleStep + 1) * (frame.height() / kGainSampleStep + 1));
    for (int32_t y = kGainSampleStep / 2; y < frame.height(); y += kGainSampleStep) {
        const uint16_t* row = frame.row(y);
        for (int32_t x = kGainSampleStep / 2; x < frame.width(); x += kGainSampleStep)
            sums.push_back(gainSampleSum(row + static_cast<size_t>(x) * channels, channels));
    }
    return detectionGainOfSums(sums);
}

uint32_t detectionGainOfSums(std::vector<uint32_t>& sums)
{
    if (sums.empty())
        return kUnitGain16;
    std::nth_element(sums.begin(), sums.begin() + sums.size() / 2, sums.end());
    const uint64_t median = std::max<uint64_t>(1u, sums[sums.size() / 2]);
    const uint64_t gain = kTargetSum * kUnitGain16 / median;
    return static_cast<uint32_t>(std::clamp<uint64_t>(gain, kUnitGain16, kMaxGain16));
}

}  // namespace velreg
