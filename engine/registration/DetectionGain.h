#pragma once

#include <cstdint>

#include "image/Image.h"

namespace velreg {

// The luminance gain, in sixteenths, that lifts a frame's typical (median) luminance to where
// the detector's thresholds sit for a display-bright sky. Linear working data of a night sky sits
// near the bottom of the 8-bit luminance, where the detector sees only the brightest stars, and
// how near depends on the decoding curve the chosen colour space applied. Frames already that
// bright get 16 (no change); the gain never exceeds 32 times.
uint32_t detectionGain16(const velimage::Image16& frame);

}  // namespace velreg
