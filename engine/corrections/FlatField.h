#pragma once

#include <cstdint>
#include <vector>

#include "image/Image.h"
#include "image/ImageTypes.h"

namespace veltone {

// The flat-field gain map: one 16.16 gain per pixel (65536 = 1.0), single channel.
using GainMap = velimage::Image<uint32_t>;

// How a gain map fits an image: as it is, with width and height exchanged, or not at all.
enum class GainFit { Direct, Transposed, None };
GainFit gainFit(const GainMap& gains, int32_t width, int32_t height);

// `turned` becomes `gains` with width and height exchanged: its (x, y) is the map's (y, x).
void turnGains(const GainMap& gains, GainMap& turned);

// v' = min(65535, (g·v) >> 16) for every sample of a three-channel frame, g the pixel's gain
// (read transposed when the map is the frame turned). False, frame unchanged, when the map fits
// neither way or the frame is not three-channel.
bool applyFlatField(velimage::Image16& frame, const GainMap& gains);

// The same for one row of `pixels` three-channel pixels and their gains.
void applyFlatFieldRow(uint16_t* samples, const uint32_t* gains, int32_t pixels);

// A gain map held as a base per row and a 16-bit offset from it per pixel: half the bytes to read for
// every frame. The gains of a row nearly always lie within 65534 of each other; a gain that does not
// (a speck of dust or a hot pixel on the flat frames) is marked kEscapedGain and read from the map.
struct CompactGains {
    static constexpr uint16_t kEscapedGain = 0xFFFF;
    std::vector<uint32_t> bases;  // one per row
    velimage::Image<uint16_t> offsets;
};
// False (nothing made) for an empty or multi-channel map.
bool makeCompactGains(const GainMap& gains, CompactGains& compact);
// applyFlatFieldRow with the gains base + offsets[x], or gains[x] where the offset is escaped.
void applyFlatFieldRow(uint16_t* samples, uint32_t base, const uint16_t* offsets, const uint32_t* gains,
                       int32_t pixels);

// The same for an accumulated result: v' = (g·v) >> 16, or 0xFFFFFFFF when g·v reaches 2^48.
bool applyFlatField(velimage::AccumulationImage& image, const GainMap& gains);

}  // namespace veltone
