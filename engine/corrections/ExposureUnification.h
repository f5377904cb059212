#pragma once

#include <cstdint>

#include "image/Image.h"
#include "image/ImageTypes.h"

namespace veltone {

// "Unify exposure": frames are brought to the base image's brightness before they are aligned.

// Brightness of a three-channel image: the mean luminance Y = (306·R + 601·G + 117·B) >> 10 of
// the pixels between the 0.35 and 0.65 luminance quantiles. 0 for an empty or black image.
double exposureMeasure(const velimage::Image16& image);
// The same from the accumulation image, per unit of weight (the base's measure once its pixels
// are gone).
double exposureMeasure(const velimage::AccumulationImage& image);

// The 16.16 factor that brings an image of brightness `frame` to `reference`; 0 when either is
// not positive.
uint64_t exposureFactor(double reference, double frame);

// Every sample v becomes min(65535, v·factor / 65536), factor in 16.16.
void scaleExposure(velimage::Image16& image, uint64_t factor);

}  // namespace veltone
