#include "registration/Alignment.h"

#include <algorithm>
#include <cmath>

#include "registration/LensPairSelection.h"
#include "registration/PairConsensus.h"

namespace velreg {
namespace {

// Pairs within this distance of a consensus hypothesis support it: measured centres are good to
// about a tenth of a pixel, whole-pixel stand-ins to about half a pixel each. Tight enough to tell
// the sky from a still light where the sky moved only a pixel or two.
constexpr float kConsensusTolerancePx = 1.0f;
// Sub-pixel centres are good to a tenth of a pixel or so; iterated rejection never needs to cut
// closer than this to the fit.
constexpr float kRejectionFloorPx = 0.25f;

bool fail(AlignStats* stats, AlignFailure failure)
{
    if (stats)
        stats->failure = failure;
    return false;
}

// The measured centre of descriptor `index`; null when the pattern has none for it.
const SubPixel* centreOf(const StarPattern& pattern, int32_t index)
{
    if (pattern.centres.size() != pattern.descriptors.size() || index < 0 || index >= pattern.chosenCount())
        return nullptr;
    const SubPixel& centre = pattern.centres[static_cast<size_t>(index)];
    return std::isnan(centre.x) ? nullptr : &centre;
}

bool standsStill(const StarPair& pair) { return pair.firstX == pair.secondX && pair.firstY == pair.secondY; }

// The pairs within distancePx of `fit`, in their order (`points` are the pairs' positions).
void keepNear(const MatrixF& fit, const PointPairList& points, float distancePx, StarPairList& pairs)
{
    StarPairList kept;
    kept.reserve(pairs.size());
    for (size_t k = 0; k < pairs.size(); ++k)
        if (squaredResidual(fit, points[k]) <= distancePx * distancePx)
            kept.push_back(pairs[k]);
    pairs = std::move(kept);
}

// Consensus among the pairs that moved by a whole pixel or more. On a landscape the sky moves and
// hot pixels and lit windows stand still; where stars are few, the still points could outvote
// them. When the sky itself stood still, the pairs that moved only by rounding find that motion too.
bool movingConsensus(const StarPairList& pairs, const PointPairList& points, Consensus& consensus)
{
    PointPairList moving;
    for (size_t k = 0; k < pairs.size(); ++k)
        if (!standsStill(pairs[k]))
            moving.push_back(points[k]);
    // With every pair moving (or hardly any) the consensus over all pairs decides.
    if (moving.size() == pairs.size() || moving.size() < kMinConsensusPairs)
        return false;
    return findConsensus(moving, kConsensusTolerancePx, kMinConsensusPairs, consensus);
}

// A lens moves corner stars off any affine map, by up to (W + H) / 180 pixels; a still light or a
// look-alike lies as far off, and a fit that trusts that reach bends to it. From the pairs near the
// consensus, a model that bends as a lens does chooses the pairs that follow the sky. Still points
// stay out when the sky moved (`moving`) and, as in the plain alignment, whole-pixel positions
// when enough measured centres agree with the consensus.
void keepLensPairs(const StarPattern& first, const StarPattern& second, const MatrixF& consensus,
                   const PointPairList& points, bool moving, StarPairList& pairs)
{
    const float tolerance2 = kConsensusTolerancePx * kConsensusTolerancePx;
    std::vector<bool> measured(pairs.size()), near(pairs.size());
    size_t measuredNear = 0;
    for (size_t k = 0; k < pairs.size(); ++k) {
        measured[k] = centreOf(first, pairs[k].firstIndex) && centreOf(second, pairs[k].secondIndex);
        near[k] = !(moving && standsStill(pairs[k])) && squaredResidual(consensus, points[k]) <= tolerance2;
        measuredNear += measured[k] && near[k] ? 1 : 0;
    }
    const bool measuredOnly = measuredNear >= kMinConsensusPairs;
    std::vector<bool> eligible(pairs.size());
    std::vector<uint32_t> chosen;
    for (size_t k = 0; k < pairs.size(); ++k) {
        eligible[k] = !(moving && standsStill(pairs[k])) && (measured[k] || !measuredOnly);
        if (eligible[k] && near[k])
            chosen.push_back(static_cast<uint32_t>(k));
    }
    selectLensPairs(first, points, eligible, kMinConsensusPairs, chosen);
    StarPairList kept;
    kept.reserve(chosen.size());
    for (uint32_t k : chosen)
        kept.push_back(pairs[k]);
    pairs = std::move(kept);
}

}  // namespace

PointPairList pointPairsOf(const StarPairList& pairs, const StarPattern& first, const StarPattern& second,
                           bool measuredOnly)
{
    PointPairList points = pointPairsOf(pairs);
    size_t kept = 0;
    for (size_t k = 0; k < pairs.size(); ++k) {
        const SubPixel* a = centreOf(first, pairs[k].firstIndex);
        const SubPixel* b = centreOf(second, pairs[k].secondIndex);
        if (measuredOnly && !(a && b))
            continue;
        PointPair& point = points[kept++];
        point = points[k];
        if (a)
            point.firstX = a->x, point.firstY = a->y;
        if (b)
            point.secondX = b->x, point.secondY = b->y;
    }
    points.resize(kept);
    return points;
}

bool matchAndFit(const StarPattern& first, const StarPattern& second, StarPairList& pairs, MatrixF& transform,
                 AlignStats* stats, bool lensDistortion)
{
    pairs.clear();
    const bool matched = matchStars(first, second, pairs);
    if (stats)
        stats->pairs = static_cast<int32_t>(pairs.size());
    if (!matched || pairs.size() < kMinAlignPairs)
        return fail(stats, AlignFailure::TooFewPairs);

    // Least squares alone lets a fixed light or a run of look-alikes drag the fit towards them,
    // and the outlier rule below trusts anything within (W + H) / 180 pixels of such a fit: let
    // the pairs that move together decide first.
    const PointPairList points = pointPairsOf(pairs, first, second);
    Consensus consensus;
    const bool moving = movingConsensus(pairs, points, consensus);
    if (!moving && !findConsensus(points, kConsensusTolerancePx, kMinConsensusPairs, consensus))
        return fail(stats, AlignFailure::TooFewPairs);
    if (!lensDistortion) {
        keepNear(consensus.transform, points, kConsensusTolerancePx, pairs);
    } else {
        keepLensPairs(first, second, consensus.transform, points, moving, pairs);
    }

    if (!fitAffine(pointPairsOf(pairs, first, second), transform))
        return fail(stats, AlignFailure::FitFailed);
    rejectOutliers(first, transform, pairs);
    return true;
}

bool alignPatterns(const StarPattern& first, const StarPattern& second, MatrixF& transform, AlignStats* stats)
{
    StarPairList pairs;
    if (!matchAndFit(first, second, pairs, transform, stats))
        return false;
    // A whole-pixel position (a star at the edge, or a second detection beside a bright star)
    // is worth far less than a measured centre: leave such pairs out when enough remain.
    PointPairList points = pointPairsOf(pairs, first, second, true);
    if (points.size() < kMinConsensusPairs)
        points = pointPairsOf(pairs, first, second);
    if (!fitWithRejection(points, kRejectionFloorPx, kMinConsensusPairs, transform))
        return fail(stats, AlignFailure::FitFailed);
    return true;
}

void copyIdentities(const StarPairList& pairs, StarPattern& first, const StarPattern& second)
{
    for (const StarPair& pair : pairs) {
        if (pair.firstIndex < 0 || pair.firstIndex >= first.chosenCount() || pair.secondIndex < 0 ||
            pair.secondIndex >= second.chosenCount())
            continue;
        first.descriptors[pair.firstIndex].identity = second.descriptors[pair.secondIndex].identity;
    }
}

bool alignWithIdentities(StarPattern& first, const StarPattern& second)
{
    StarPairList pairs;
    MatrixF transform;
    if (!matchAndFit(first, second, pairs, transform, nullptr, true))
        return false;
    copyIdentities(pairs, first, second);
    return true;
}

}  // namespace velreg
