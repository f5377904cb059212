#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "registration/AffineFit.h"
#include "registration/Matrix.h"

namespace velreg {

// The motion most pairs share, and which pairs share it.
struct Consensus {
    MatrixF transform;              // 3 × 3 affine, first to second positions
    std::vector<uint32_t> inliers;  // indices into the pair list, ascending
};

// Random sample consensus over the pairs: affine hypotheses through three pairs each, scored by
// their squared residuals capped at tolerancePx², the best one refitted by least squares on its
// pairs until that set stands still. Pairs that do not move with the rest (a fixed light, a hot
// pixel, points along a trail, chance look-alikes) cannot outvote the sky, however far off they
// are. Sampling is seeded, so the same pairs give the same answer. False when fewer than
// `minInliers` pairs agree.
bool findConsensus(const PointPairList& pairs, float tolerancePx, size_t minInliers, Consensus& result);

// The pairs at `indices`, in that order.
PointPairList subset(const PointPairList& pairs, const std::vector<uint32_t>& indices);

// How far from a fit a pair may lie and still count: max(floorPx, `sigmas` times the spread of
// the kept pairs' residual distances, from their median). Reorders `keptResiduals`; floorPx when
// empty.
float rejectionLimit(std::vector<float>& keptResiduals, float floorPx, float sigmas = 3.0f);

// Least-squares affine fit with iterated rejection: pairs further from the fit than
// max(floorPx, three times the spread of the kept pairs' residuals) are dropped and the fit is
// repeated until the kept set stands still. Never keeps fewer than `minKept` pairs (stops
// rejecting instead). False when the fit is singular; `kept` receives the indices used.
bool fitWithRejection(const PointPairList& pairs, float floorPx, size_t minKept, MatrixF& transform,
                      std::vector<uint32_t>* kept = nullptr);

}  // namespace velreg
