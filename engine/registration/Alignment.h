#pragma once

#include "registration/Matrix.h"
#include "registration/Star.h"
#include "registration/StarMatcher.h"

namespace velreg {

// Minimum number of pairs an alignment needs.
constexpr size_t kMinAlignPairs = 5;

// Frame-to-reference affine transform (3 × 3, last row 0 0 1): match, fit, reject outliers, fit
// again. `first` is the frame's pattern, `second` the reference's. False when it cannot be found;
// `transform` is then unchanged or holds the first fit.
bool alignPatterns(const StarPattern& first, const StarPattern& second, MatrixF& transform);

// Match, fit and reject outliers, without the second fit: the shared start of every distortion
// model. `pairs` receives the cleaned pair list and `transform` the (first) fit.
bool matchAndFit(const StarPattern& first, const StarPattern& second, StarPairList& pairs, MatrixF& transform);

// Copies the identities of the second pattern's stars to the first pattern's stars they match
// (after outlier rejection). Other stars keep their identities. Must not run while `first` is
// being matched elsewhere.
bool alignWithIdentities(StarPattern& first, const StarPattern& second);

// Writes second's identities into first for every pair of the list.
void copyIdentities(const StarPairList& pairs, StarPattern& first, const StarPattern& second);

}  // namespace velreg
