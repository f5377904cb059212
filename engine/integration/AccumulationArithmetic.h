#pragma once

#include <cstdint>

#include "image/ImageTypes.h"

namespace velstack {

using velimage::AccumulationImage;

// Full scale of one channel in the working scale (256 × the 16-bit scale).
constexpr uint32_t WorkingWhite = 0xFFFFFF;

// Arithmetic on the accumulation image: 16-bit sums during integration, the 256× working scale
// afterwards. Every pass is split into row bands on the process pool; callers are the pipeline's
// thread only.

// Samples 0, weights 1, maximum weight 1; the normalised flag is kept.
void clearAccumulation(AccumulationImage& image);
// Every weight becomes `weight` and so does the maximum weight.
void setWeights(AccumulationImage& image, float weight);
// Copies the base frame's 16-bit samples (image takes its size and channel count) with weight 1.
void startFromBase(AccumulationImage& image, const velimage::Image<uint16_t>& base);
// Brings every pixel to the maximum weight: v → round((max / w)·v) for 1e-5 < w ≠ max; then all
// weights 1 and the flag set. Nothing happens when already normalised or the maximum is 0.
void normalize(AccumulationImage& image);
// v → v·256 below 0x800000, else 0x7FFFFFFF. The caller keeps the once-per-run flag.
void toWorkingScale(AccumulationImage& image);
// Pixels whose channel sum exceeds 3 × WorkingWhite (three-channel images).
uint64_t countOverExposed(const AccumulationImage& image);

// Rotation back to display orientation while converting: 0 none, 1 90° clockwise, 2 180°,
// 3 90° counter-clockwise (1 and 3 exchange width and height). Other codes mean none.
int rotationCodeForOrientation(int orientationTag);

// Output conversions: false (target untouched) when the maximum weight is 0 or the image is empty;
// otherwise normalise when needed and write min(255, v >> 8) or min(65535, v), rotated by `rotation`.
bool toOutput8(AccumulationImage& image, velimage::Image<uint8_t>& target, int rotation = 0);
bool toOutput16(AccumulationImage& image, velimage::Image<uint16_t>& target, int rotation = 0);

}  // namespace velstack
