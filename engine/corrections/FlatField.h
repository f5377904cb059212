#pragma once

#include <cstdint>

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

// A gain map whose gains lie within 65535 of each other, held as base + a 16-bit offset per pixel:
// half the bytes to read for every frame.
struct CompactGains {
    uint32_t base = 0;
    velimage::Image<uint16_t> offsets;
};
// False (nothing made) when the gains spread too far.
bool makeCompactGains(const GainMap& gains, CompactGains& compact);
// applyFlatFieldRow with the gains base + offsets[x]. `ahead`, when not null, is a later row's
// offsets (`pixels` of them), fetched into the cache on the way for when that row's turn comes.
void applyFlatFieldRow(uint16_t* samples, uint32_t base, const uint16_t* offsets, int32_t pixels,
                       const uint16_t* ahead = nullptr);

// The same for an accumulated result: v' = (g·v) >> 16, or 0xFFFFFFFF when g·v reaches 2^48.
bool applyFlatField(velimage::AccumulationImage& image, const GainMap& gains);

}  // namespace veltone
