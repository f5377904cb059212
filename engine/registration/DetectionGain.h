#pragma once

#include <cstdint>
#include <vector>

#include "image/Image.h"

namespace velreg {

// The luminance gain, in sixteenths, that lifts a frame's typical (median) luminance to where
// the detector's thresholds sit for a display-bright sky. Linear working data of a night sky sits
// near the bottom of the 8-bit luminance, where the detector sees only the brightest stars, and
// how near depends on the decoding curve the chosen colour space applied. Frames already that
// bright get 16 (no change); the gain never exceeds 32 times.
uint32_t detectionGain16(const velimage::Image16& frame);

// Its parts, for callers that meet the rows one at a time: the sample sums are taken from every
// kGainSampleStep-th pixel (from kGainSampleStep / 2 on) of every kGainSampleStep-th row (likewise);
// the gain depends only on the sums, not their order.
constexpr int32_t kGainSampleStep = 32;
constexpr uint32_t kMaxDetectionGain16 = 512;
inline uint32_t gainSampleSum(const uint16_t* pixel, int32_t channels)
{
    return channels >= 3 ? uint32_t{pixel[0]} + 2u * pixel[1] + pixel[2] : 4u * pixel[0];
}
uint32_t detectionGainOfSums(std::vector<uint32_t>& sums);

}  // namespace velreg
