#pragma once

#include <cstdint>
#include <vector>

#include "registration/AffineFit.h"
#include "registration/Star.h"

namespace velreg {

// The pairs that follow the sky's motion through a lens that bends it off any affine map. From
// `chosen` (indices into `points` that agree with the consensus motion) the set grows and shrinks
// by the residuals of an affine-and-radial model fitted to it (the affine alone while the pairs are
// too few for the lens terms), keeping the pairs within max(floor, a few times the spread) of the
// model until the set stands: first with a floor of a pixel, so that corner stars the consensus
// missed can join, then with a quarter pixel, as the plain alignment does. A still light or a look-alike a few pixels off the sky's motion cannot
// hide in the room a lens needs. Only pairs marked `eligible` may join. Never keeps fewer than
// `minKept` pairs; false when the model cannot be fitted, leaving `chosen` as it was.
bool selectLensPairs(const StarPattern& frame, const PointPairList& points, const std::vector<bool>& eligible,
                     size_t minKept, std::vector<uint32_t>& chosen);

}  // namespace velreg
