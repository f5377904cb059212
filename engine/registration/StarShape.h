#pragma once

#include "image/Image.h"
#include "registration/Star.h"

namespace velreg {

// Removes the detections that lie on a streak (a satellite or aircraft trail crossing the
// frame) rather than on a star: their light is drawn out along one direction. A bright trail
// yields hundreds of such points, which would crowd the real stars out of the frame's pattern and
// their descriptors. Keeps the order of the rest.
void dropStreakPoints(const velimage::Image16& frame, StarList& stars);

// Ratio of the larger to the smaller second moment of the background-subtracted luminance in a
// 9 × 9 window at (x, y): about 1 for a star, several for a point on a line. 0 when it cannot be
// measured (too close to the edge, no light).
float elongationAt(const velimage::Image16& frame, int32_t x, int32_t y);

}  // namespace velreg
