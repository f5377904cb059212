#pragma once

#include <cstdint>

#include "corrections/ToneState.h"
#include "image/Metadata.h"

namespace veltone {

// Colour-space tag values written with the output (tag 40961).
constexpr uint16_t ColorSpaceTagSrgb = 1;
constexpr uint16_t ColorSpaceTagAdobeRgb = 2;
constexpr uint16_t ColorSpaceTagLinear = 65535;

// Last stage: working scale if not yet, the colour-space curve (engine colour space 1 Adobe RGB,
// 2 linear, anything else sRGB), the matching colour-space tag in `metadata`, then every sample
// v → (v + 128) >> 8 back in the 16-bit scale; clears the working-scale flag.
void finalToneConversion(AccumulationImage& image, ToneState& state, int colorSpace,
                         velimage::MetadataList& metadata);

}  // namespace veltone
