#include "registration/LensPairSelection.h"

#include <cmath>

#include "registration/PairConsensus.h"
#include "registration/RadialDistortion.h"

namespace velreg {
namespace {

// While growing, a pair a pixel off the model fitted to the central stars may still be a corner
// star the model does not yet reach; the final rounds cut as close as the plain alignment does.
constexpr float kGrowFloorPx = 1.0f;
constexpr float kPruneFloorPx = 0.25f;
// The radial model fits a real lens only approximately, and its misfit grows towards the edges:
// clipping at three spreads, as the affine fit does, would wear away the corner stars that carry
// the lens terms, round after round. A still light or a look-alike lies many spreads off.
constexpr float kAffineRejectSigmas = 3.0f;
constexpr float kLensRejectSigmas = 6.0f;
// Fewer pairs cannot pin the two lens terms down against the noise of the centres: the model
// would bend to a stray pair and carry it to the corners. Below this the affine alone chooses.
constexpr size_t kMinLensPairs = 20;
constexpr int32_t kMaxRounds = 10;

// Distance of every pair from where the model fitted to `chosen` carries its first position:
// affine and radial when there are pairs enough for the lens terms, else affine.
bool modelResiduals(const StarPattern& frame, const PointPairList& points, const std::vector<uint32_t>& chosen,
                    std::vector<float>& residuals)
{
    residuals.resize(points.size());
    if (chosen.size() < kMinLensPairs) {
        MatrixF affine;
        if (!fitAffine(subset(points, chosen), affine))
            return false;
        for (size_t k = 0; k < points.size(); ++k)
            residuals[k] = std::sqrt(squaredResidual(affine, points[k]));
        return true;
    }
    RadialModel model;
    estimateRadialDistortion(frame, subset(points, chosen), model.affine, model.k1, model.k2);
    if (model.affine.rows() != 3)
        return false;
    for (size_t k = 0; k < points.size(); ++k) {
        float u, v;
        applyRadialModel(model, frame.width, frame.height, points[k].firstX, points[k].firstY, u, v);
        residuals[k] = std::hypot(u - points[k].secondX, v - points[k].secondY);
    }
    return true;
}

bool refine(const StarPattern& frame, const PointPairList& points, const std::vector<bool>& eligible, size_t minKept,
            float floorPx, std::vector<uint32_t>& chosen)
{
    std::vector<float> residuals, spread;
    std::vector<uint32_t> next;
    for (int32_t round = 0; round < kMaxRounds; ++round) {
        if (!modelResiduals(frame, points, chosen, residuals))
            return false;
        spread.clear();
        for (uint32_t k : chosen)
            spread.push_back(residuals[k]);
        const float sigmas = chosen.size() < kMinLensPairs ? kAffineRejectSigmas : kLensRejectSigmas;
        const float limit = rejectionLimit(spread, floorPx, sigmas);
        next.clear();
        for (size_t k = 0; k < points.size(); ++k)
            if (eligible[k] && residuals[k] <= limit)
                next.push_back(static_cast<uint32_t>(k));
        if (next == chosen || next.size() < minKept)
            break;
        chosen.swap(next);
    }
    return true;
}

}  // namespace

bool selectLensPairs(const StarPattern& frame, const PointPairList& points, const std::vector<bool>& eligible,
                     size_t minKept, std::vector<uint32_t>& chosen)
{
    std::vector<uint32_t> selected = chosen;
    if (selected.empty() || !refine(frame, points, eligible, minKept, kGrowFloorPx, selected) ||
        !refine(frame, points, eligible, minKept, kPruneFloorPx, selected))
        return false;
    chosen = std::move(selected);
    return true;
}

}  // namespace velreg
