#pragma once

#include "registration/AffineFit.h"
#include "registration/Matrix.h"
#include "registration/Star.h"
#include "registration/StarMatcher.h"

namespace velreg {

// Minimum number of pairs an alignment needs.
constexpr size_t kMinAlignPairs = 5;
// Pairs that must agree on one motion before a frame counts as aligned: fewer could be chance.
constexpr size_t kMinConsensusPairs = 6;

// Why an alignment failed, for the per-frame report.
enum class AlignFailure : int32_t {
    None = 0,
    TooFewPairs,  // the match found too few pairs, or too few of them move together
    FitFailed,    // the pairs do not determine a transform (singular fit)
};

// What an alignment saw: the pairs the match found and why it failed, if it did.
struct AlignStats {
    int32_t pairs = 0;
    AlignFailure failure = AlignFailure::None;
};

// Frame-to-reference affine transform (3 × 3, last row 0 0 1): match, keep the pairs that move
// together, fit, reject outliers, and fit again on the stars' sub-pixel centres (when the
// patterns carry them) with iterated rejection. `first` is the frame's pattern, `second` the
// reference's. False when it cannot be found; `transform` is then unchanged or holds the first fit.
bool alignPatterns(const StarPattern& first, const StarPattern& second, MatrixF& transform,
                   AlignStats* stats = nullptr);

// Match, consensus, fit and reject outliers, without the second fit: the shared start of every
// distortion model. `pairs` receives the cleaned pair list and `transform` the (first) fit, made
// on the sub-pixel centres where known. With `lensDistortion` the pairs kept are those that
// follow the consensus motion as bent by a radial lens model, so corner stars a lens moved off
// the affine map stay in while still lights and look-alikes stay out.
bool matchAndFit(const StarPattern& first, const StarPattern& second, StarPairList& pairs, MatrixF& transform,
                 AlignStats* stats = nullptr, bool lensDistortion = false);

// The pairs' positions: the patterns' sub-pixel centres where they were measured, else whole
// pixels. With `measuredOnly`, only the pairs whose two centres were both measured.
PointPairList pointPairsOf(const StarPairList& pairs, const StarPattern& first, const StarPattern& second,
                           bool measuredOnly = false);

// Copies the identities of the second pattern's stars to the first pattern's stars they match
// (after outlier rejection). Other stars keep their identities. Must not run while `first` is
// being matched elsewhere.
bool alignWithIdentities(StarPattern& first, const StarPattern& second);

// Writes second's identities into first for every pair of the list.
void copyIdentities(const StarPairList& pairs, StarPattern& first, const StarPattern& second);

}  // namespace velreg
