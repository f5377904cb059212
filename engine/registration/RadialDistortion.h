#pragma once

#include "registration/AffineFit.h"
#include "registration/Matrix.h"
#include "registration/Star.h"
#include "registration/Alignment.h"
#include "registration/StarMatcher.h"

namespace velreg {

// Radial model about the frame centre c = (W/2, H/2): s(p) = 1 + k1·|p|² + k2·|p|⁴. A frame
// position maps to the reference as p = pos − c, p′ = p / s(p), m = A·p′, ref = m·s(m) + c.
struct RadialModel {
    MatrixF affine;  // 3 × 3, acting on centred undistorted coordinates
    float k1 = 0.0f;
    float k2 = 0.0f;
};

// Sum of squared reference-side residuals of the model with (k1, k2); `affine` receives the fit made
// in undistorted coordinates. Infinity when that fit is singular.
float radialResidual(const StarPattern& frame, const PointPairList& pairs, float k1, float k2, MatrixF& affine);
float radialResidual(const StarPattern& frame, const StarPairList& pairs, float k1, float k2, MatrixF& affine);

// Coordinate search for (k1, k2) minimising radialResidual, starting from (0, 0). Always true;
// `affine` holds the affine of the chosen coefficients. Call with the cleaned pairs of matchAndFit.
bool estimateRadialDistortion(const StarPattern& frame, const PointPairList& pairs, MatrixF& affine, float& k1,
                              float& k2);
bool estimateRadialDistortion(const StarPattern& frame, const StarPairList& pairs, MatrixF& affine, float& k1,
                              float& k2);

// The whole radial alignment: match and fit (at least 5 pairs), reject outliers, estimate on the
// stars' sub-pixel centres where the patterns carry them.
bool alignRadial(const StarPattern& frame, const StarPattern& reference, RadialModel& model,
                 AlignStats* stats = nullptr);

// Maps a frame position through the model (the forward direction of the fit).
void applyRadialModel(const RadialModel& model, int32_t width, int32_t height, float x, float y, float& outX,
                      float& outY);

}  // namespace velreg
