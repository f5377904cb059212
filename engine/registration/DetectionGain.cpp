#include "registration/DetectionGain.h"

#include <algorithm>
#include <vector>

#include "registration/StarDetector.h"

namespace velreg {
namespace {

constexpr int32_t kSampleStep = 32;             // every 32nd pixel of every 32nd row
constexpr uint64_t kTargetSum = 48u * 1024u;    // R + 2·G + B of luminance 48, above both high means
constexpr uint32_t kMaxGain16 = 32 * kUnitGain16;

}  // namespace

uint32_t detectionGain16(const velimage::Image16& frame)
{
    if (frame.empty() || frame.channels() < 1)
        return kUnitGain16;
    const int32_t channels = frame.channels();
    std::vector<uint32_t> sums;
    sums.reserve(static_cast<size_t>(frame.width() / kSampleStep + 1) * (frame.height() / kSampleStep + 1));
    for (int32_t y = kSampleStep / 2; y < frame.height(); y += kSampleStep) {
        const uint16_t* row = frame.row(y);
        for (int32_t x = kSampleStep / 2; x < frame.width(); x += kSampleStep) {
            const uint16_t* p = row + static_cast<size_t>(x) * channels;
            sums.push_back(channels >= 3 ? uint32_t{p[0]} + 2u * p[1] + p[2] : 4u * p[0]);
        }
    }
    if (sums.empty())
        return kUnitGain16;
    std::nth_element(sums.begin(), sums.begin() + sums.size() / 2, sums.end());
    const uint64_t median = std::max<uint64_t>(1u, sums[sums.size() / 2]);
    const uint64_t gain = kTargetSum * kUnitGain16 / median;
    return static_cast<uint32_t>(std::clamp<uint64_t>(gain, kUnitGain16, kMaxGain16));
}

}  // namespace velreg
