#pragma once

#include <cstddef>
#include <vector>

#include "registration/Matrix.h"
#include "registration/Star.h"
#include "registration/StarMatcher.h"

namespace velreg {

// A frame position and the reference position it corresponds to, to a fraction of a pixel.
struct PointPair {
    float firstX = 0.0f;
    float firstY = 0.0f;
    float secondX = 0.0f;
    float secondY = 0.0f;
};

using PointPairList = std::vector<PointPair>;

// The pairs' whole-pixel positions.
PointPairList pointPairsOf(const StarPairList& pairs);

// Least-squares affine map from first to second positions, as the 3 × 3 matrix
// [a b tx; c d ty; 0 0 1]. False when the pairs do not determine it (fewer than 3 independent
// points, e.g. all on one spot or one line); `matrix` is then left as it was.
bool fitAffine(const StarPairList& pairs, MatrixF& matrix);

// Same fit on float point lists (used by the distortion models on transformed coordinates).
bool fitAffine(const float* firstX, const float* firstY, const float* secondX, const float* secondY, size_t count,
               MatrixF& matrix);

bool fitAffine(const PointPairList& pairs, MatrixF& matrix);

// Drops pairs whose residual under `matrix` is far above the mean, keeping every pair closer than
// (W + H) / 180 pixels of the first pattern's frame; the list stays whole unless 6 or more survive.
void rejectOutliers(const StarPattern& first, const MatrixF& matrix, StarPairList& pairs);

// Maps (x, y) through the first two rows of a 3 × 3 transform.
inline void applyAffine(const MatrixF& m, float x, float y, float& outX, float& outY)
{
    outX = m.at(0, 0) * x + m.at(0, 1) * y + m.at(0, 2);
    outY = m.at(1, 0) * x + m.at(1, 1) * y + m.at(1, 2);
}

// Squared distance between where `m` carries a pair's first position and its second position.
inline float squaredResidual(const MatrixF& m, const PointPair& pair)
{
    float u, v;
    applyAffine(m, pair.firstX, pair.firstY, u, v);
    const float ex = u - pair.secondX, ey = v - pair.secondY;
    return ex * ex + ey * ey;
}

}  // namespace velreg
