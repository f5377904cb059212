#pragma once

#include "image/Image.h"
#include "registration/Star.h"

namespace velreg {

// Measures the sub-pixel centre of every descriptor's star in `pattern` on the frame it was
// detected in, and stores them in pattern.centres: NaN for a star whose centre cannot be
// measured (too close to the edge, no light above the background, or a centre that wanders off
// to a neighbour). A few hundred small windows: cheap next to detection.
void measureStarCentres(const velimage::Image16& frame, StarPattern& pattern);

// The centre of one star near whole-pixel (x, y): a Gaussian-weighted centroid of the
// background-subtracted luminance, iterated until it stands still. False when it cannot be
// measured; (outX, outY) then hold (x, y).
bool measureStarCentre(const velimage::Image16& frame, int32_t x, int32_t y, float& outX, float& outY);

}  // namespace velreg
