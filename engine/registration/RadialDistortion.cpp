#include "registration/RadialDistortion.h"

#include <cmath>
#include <limits>
#include <vector>

#include "registration/AffineFit.h"
#include "registration/Alignment.h"

namespace velreg {
namespace {

constexpr int32_t kMaxSearchRounds = 20;
// Guards for the doubling and bisection loops; float resolution ends them long before.
constexpr int32_t kMaxDoublings = 64;
constexpr int32_t kMaxBisections = 200;

float distortionFactor(float k1, float k2, float x, float y)
{
    const float r2 = x * x + y * y;
    return 1.0f + k1 * r2 + k2 * r2 * r2;
}

// Doubles `step` while the residual keeps falling below the lowest value seen; returns the last step
// tried and its residual.
template <typename Residual>
float expand(Residual residual, float step, float e0, float& value)
{
    value = residual(step);
    if (!(value < e0))
        return step;
    float lowest = value;
    for (int32_t round = 0; round < kMaxDoublings; ++round) {
        step *= 2.0f;
        value = residual(step);
        if (!(value < lowest))
            break;
        lowest = value;
    }
    return step;
}

// Bracketing search for one coefficient around 0 between base steps lo0 < 0 < hi0.
template <typename Residual>
float lineSearch(Residual residual, float lo0, float hi0, float e0)
{
    float eLo, eHi;
    float lo = expand(residual, lo0, e0, eLo);
    float hi = expand(residual, hi0, e0, eHi);
    lo *= 2.0f;
    hi *= 2.0f;
    float mid = (lo + hi) / 2.0f;
    float eMid = residual(mid);
    for (int32_t round = 0; round < kMaxBisections && hi > lo; ++round) {
        const float a = (mid + lo) / 2.0f;
        const float b = (mid + hi) / 2.0f;
        if (a == lo || a == mid || b == mid || b == hi)
            break;
        const float eA = residual(a);
        const float eB = residual(b);
        if (eLo > eA && eMid > eA) {
            hi = mid, eHi = eMid, mid = a, eMid = eA;
        } else if (eMid < eA && eMid < eB) {
            lo = a, eLo = eA, hi = b, eHi = eB;
        } else if (eMid > eB && eHi > eB) {
            lo = mid, eLo = eMid, mid = b, eMid = eB;
        } else {
            if (e0 <= eLo && e0 <= eHi)
                mid = 0.0f;
            else if (eHi > eLo)
                mid = lo;
            else if (eHi < eLo)
                mid = hi;
            break;
        }
    }
    return mid;
}

}  // namespace

float radialResidual(const StarPattern& frame, const PointPairList& pairs, float k1, float k2, MatrixF& affine)
{
    const float cx = static_cast<float>(frame.width) * 0.5f;
    const float cy = static_cast<float>(frame.height) * 0.5f;
    const size_t n = pairs.size();
    std::vector<float> px(n), py(n), qx(n), qy(n);
    for (size_t k = 0; k < n; ++k) {
        const float fx = pairs[k].firstX - cx, fy = pairs[k].firstY - cy;
        const float sx = pairs[k].secondX - cx, sy = pairs[k].secondY - cy;
        const float fs = distortionFactor(k1, k2, fx, fy);
        const float ss = distortionFactor(k1, k2, sx, sy);
        px[k] = fx / fs, py[k] = fy / fs;
        qx[k] = sx / ss, qy[k] = sy / ss;
    }
    // A singular fit has no residual worth preferring.
    if (!fitAffine(px.data(), py.data(), qx.data(), qy.data(), n, affine))
        return std::numeric_limits<float>::infinity();
    double sum = 0;
    for (size_t k = 0; k < n; ++k) {
        float mx, my;
        applyAffine(affine, px[k], py[k], mx, my);
        const float s = distortionFactor(k1, k2, mx, my);
        const double ex = mx * s - (pairs[k].secondX - cx);
        const double ey = my * s - (pairs[k].secondY - cy);
        sum += ex * ex + ey * ey;
    }
    const float result = static_cast<float>(sum);
    return std::isfinite(result) ? result : std::numeric_limits<float>::infinity();
}

float radialResidual(const StarPattern& frame, const StarPairList& pairs, float k1, float k2, MatrixF& affine)
{
    return radialResidual(frame, pointPairsOf(pairs), k1, k2, affine);
}

bool estimateRadialDistortion(const StarPattern& frame, const StarPairList& pairs, MatrixF& affine, float& k1,
                              float& k2)
{
    return estimateRadialDistortion(frame, pointPairsOf(pairs), affine, k1, k2);
}

bool estimateRadialDistortion(const StarPattern& frame, const PointPairList& pairs, MatrixF& affine, float& k1,
                              float& k2)
{
    k1 = 0.0f;
    k2 = 0.0f;
    const float w = static_cast<float>(frame.width);
    const float h = static_cast<float>(frame.height);
    const float r2 = w * w + h * h;
    const float r = std::sqrt(r2);
    MatrixF scratch;
    const float e0 = radialResidual(frame, pairs, 0.0f, 0.0f, affine);
    if (!(r > 0.0f) || !std::isfinite(e0))
        return true;
    const float step1 = 2.0f / (r2 * r);
    const float step2 = 2.0f / (r2 * r2 * r);
    float best = e0;
    float best1 = 0.0f, best2 = 0.0f;
    for (int32_t round = 0; round < kMaxSearchRounds; ++round) {
        const float next1 = lineSearch(
            [&](float k) { return radialResidual(frame, pairs, k, best2, scratch); }, -step1, step1, e0);
        const float next2 = lineSearch(
            [&](float k) { return radialResidual(frame, pairs, next1, k, scratch); }, -step2, step2, e0);
        const float value = radialResidual(frame, pairs, next1, next2, scratch);
        if (!(value < best))
            break;
        best = value;
        best1 = next1;
        best2 = next2;
    }
    radialResidual(frame, pairs, best1, best2, affine);
    k1 = best1;
    k2 = best2;
    return true;
}

bool alignRadial(const StarPattern& frame, const StarPattern& reference, RadialModel& model, AlignStats* stats)
{
    StarPairList pairs;
    MatrixF transform;
    if (!matchAndFit(frame, reference, pairs, transform, stats, true))
        return false;
    RadialModel result;
    estimateRadialDistortion(frame, pointPairsOf(pairs, frame, reference), result.affine, result.k1, result.k2);
    if (result.affine.rows() != 3) {  // even the plain centred fit was singular
        if (stats)
            stats->failure = AlignFailure::FitFailed;
        return false;
    }
    model = std::move(result);
    return true;
}

void applyRadialModel(const RadialModel& model, int32_t width, int32_t height, float x, float y, float& outX,
                      float& outY)
{
    const float cx = static_cast<float>(width) * 0.5f;
    const float cy = static_cast<float>(height) * 0.5f;
    const float px = x - cx, py = y - cy;
    const float s = distortionFactor(model.k1, model.k2, px, py);
    float mx, my;
    applyAffine(model.affine, px / s, py / s, mx, my);
    const float t = distortionFactor(model.k1, model.k2, mx, my);
    outX = mx * t + cx;
    outY = my * t + cy;
}

}  // namespace velreg
