#include "registration/AffineFit.h"

#include <cmath>

namespace velreg {
namespace {

// A point set whose centred second moments are this close to rank one (all points on one line or
// one spot) does not determine an affine map.
constexpr double kDegenerateLimit = 1e-9;

// Least squares on centred coordinates in double: the same solution as the normal equations of the
// 2n × 6 design, without the loss of pixel-coordinate sums of order 1e10 in single precision.
template <typename Get>
bool fitCentred(size_t count, Get get, MatrixF& matrix)
{
    if (count == 0)
        return false;
    double mx = 0, my = 0, mu = 0, mv = 0;
    for (size_t k = 0; k < count; ++k) {
        double x, y, u, v;
        get(k, x, y, u, v);
        mx += x, my += y, mu += u, mv += v;
    }
    mx /= count, my /= count, mu /= count, mv /= count;
    double sxx = 0, sxy = 0, syy = 0, sxu = 0, syu = 0, sxv = 0, syv = 0;
    for (size_t k = 0; k < count; ++k) {
        double x, y, u, v;
        get(k, x, y, u, v);
        x -= mx, y -= my, u -= mu, v -= mv;
        sxx += x * x, sxy += x * y, syy += y * y;
        sxu += x * u, syu += y * u, sxv += x * v, syv += y * v;
    }
    const double det = sxx * syy - sxy * sxy;
    if (!(det > kDegenerateLimit * sxx * syy))
        return false;
    const double a = (sxu * syy - syu * sxy) / det;
    const double b = (syu * sxx - sxu * sxy) / det;
    const double c = (sxv * syy - syv * sxy) / det;
    const double d = (syv * sxx - sxv * sxy) / det;
    const double tx = mu - a * mx - b * my;
    const double ty = mv - c * mx - d * my;
    for (double value : {a, b, c, d, tx, ty})
        if (!std::isfinite(value))
            return false;
    MatrixF result(3, 3);
    result.at(0, 0) = static_cast<float>(a);
    result.at(0, 1) = static_cast<float>(b);
    result.at(0, 2) = static_cast<float>(tx);
    result.at(1, 0) = static_cast<float>(c);
    result.at(1, 1) = static_cast<float>(d);
    result.at(1, 2) = static_cast<float>(ty);
    result.at(2, 2) = 1.0f;
    matrix = std::move(result);
    return true;
}

}  // namespace

bool fitAffine(const StarPairList& pairs, MatrixF& matrix)
{
    return fitCentred(
        pairs.size(),
        [&](size_t k, double& x, double& y, double& u, double& v) {
            x = pairs[k].firstX, y = pairs[k].firstY, u = pairs[k].secondX, v = pairs[k].secondY;
        },
        matrix);
}

PointPairList pointPairsOf(const StarPairList& pairs)
{
    PointPairList points(pairs.size());
    for (size_t k = 0; k < pairs.size(); ++k)
        points[k] = {static_cast<float>(pairs[k].firstX), static_cast<float>(pairs[k].firstY),
                     static_cast<float>(pairs[k].secondX), static_cast<float>(pairs[k].secondY)};
    return points;
}

bool fitAffine(const PointPairList& pairs, MatrixF& matrix)
{
    return fitCentred(
        pairs.size(),
        [&](size_t k, double& x, double& y, double& u, double& v) {
            x = pairs[k].firstX, y = pairs[k].firstY, u = pairs[k].secondX, v = pairs[k].secondY;
        },
        matrix);
}

bool fitAffine(const float* firstX, const float* firstY, const float* secondX, const float* secondY, size_t count,
               MatrixF& matrix)
{
    return fitCentred(
        count,
        [&](size_t k, double& x, double& y, double& u, double& v) {
            x = firstX[k], y = firstY[k], u = secondX[k], v = secondY[k];
        },
        matrix);
}

void rejectOutliers(const StarPattern& first, const MatrixF& matrix, StarPairList& pairs)
{
    if (pairs.empty() || matrix.rows() < 2 || matrix.columns() < 3)
        return;
    std::vector<float> residuals(pairs.size());
    double sum = 0;
    for (size_t k = 0; k < pairs.size(); ++k) {
        float u, v;
        applyAffine(matrix, pairs[k].firstX, pairs[k].firstY, u, v);
        const float ex = u - pairs[k].secondX;
        const float ey = v - pairs[k].secondY;
        residuals[k] = ex * ex + ey * ey;
        sum += residuals[k];
    }
    // Within (W + H) / 180 pixels a pair is trusted whatever the others do: lens distortion alone
    // moves corner stars that far.
    const float near = static_cast<float>(first.width + first.height) / 180.0f;
    const double meanFactor = 5.76 * static_cast<double>(pairs.size());  // 2.4² × n: below RMS / 2.4
    StarPairList kept;
    kept.reserve(pairs.size());
    for (size_t k = 0; k < pairs.size(); ++k)
        if (sum > meanFactor * residuals[k] || residuals[k] < near * near)
            kept.push_back(pairs[k]);
    if (kept.size() >= 6)
        pairs = std::move(kept);
}

}  // namespace velreg
