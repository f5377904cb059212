#include "registration/PairConsensus.h"

#include <algorithm>
#include <cmath>

namespace velreg {
namespace {

constexpr int32_t kMaxHypotheses = 4000;
constexpr int32_t kMinHypotheses = 64;
constexpr double kConfidence = 0.9999;  // of drawing at least one all-inlier sample
constexpr int32_t kMaxRefits = 10;
// Three pairs whose first positions span less than this share of the pairs' bounding box
// (nearly on one line, as along a trail) do not determine a usable affine map.
constexpr double kMinTriangleShare = 1e-3;
// Median of the distance of a two-dimensional normal error, in its per-axis deviations.
constexpr float kRayleighMedian = 1.1774f;

// Small seeded generator: the hypotheses, and so the result, do not depend on anything else.
class SampleRandom {
public:
    explicit SampleRandom(uint64_t seed) : m_state(seed) {}
    uint32_t below(uint32_t bound)
    {
        m_state += 0x9E3779B97F4A7C15ull;
        uint64_t z = m_state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<uint32_t>((z >> 32) * bound >> 32);
    }

private:
    uint64_t m_state;
};

// The affine map through three pairs exactly; false when their first positions are (nearly) collinear.
bool affineThrough(const PointPair& p0, const PointPair& p1, const PointPair& p2, double minCross, MatrixF& m)
{
    const double x1 = p1.firstX - p0.firstX, y1 = p1.firstY - p0.firstY;
    const double x2 = p2.firstX - p0.firstX, y2 = p2.firstY - p0.firstY;
    const double det = x1 * y2 - x2 * y1;
    if (!(std::fabs(det) > minCross))
        return false;
    const double u1 = p1.secondX - p0.secondX, u2 = p2.secondX - p0.secondX;
    const double v1 = p1.secondY - p0.secondY, v2 = p2.secondY - p0.secondY;
    const double a = (u1 * y2 - u2 * y1) / det, b = (x1 * u2 - x2 * u1) / det;
    const double c = (v1 * y2 - v2 * y1) / det, d = (x1 * v2 - x2 * v1) / det;
    m.at(0, 0) = static_cast<float>(a);
    m.at(0, 1) = static_cast<float>(b);
    m.at(0, 2) = static_cast<float>(p0.secondX - a * p0.firstX - b * p0.firstY);
    m.at(1, 0) = static_cast<float>(c);
    m.at(1, 1) = static_cast<float>(d);
    m.at(1, 2) = static_cast<float>(p0.secondY - c * p0.firstX - d * p0.firstY);
    return true;
}

void inliersOf(const PointPairList& pairs, const MatrixF& m, float limit2, std::vector<uint32_t>& out)
{
    out.clear();
    for (size_t k = 0; k < pairs.size(); ++k)
        if (squaredResidual(m, pairs[k]) <= limit2)
            out.push_back(static_cast<uint32_t>(k));
}

int32_t hypothesesNeeded(size_t inliers, size_t total)
{
    const double share = static_cast<double>(inliers) / static_cast<double>(total);
    const double allInliers = share * share * share;
    if (allInliers >= 1.0)
        return kMinHypotheses;
    if (allInliers <= 0.0)
        return kMaxHypotheses;
    const double needed = std::log(1.0 - kConfidence) / std::log(1.0 - allInliers);
    return static_cast<int32_t>(std::clamp(needed, double(kMinHypotheses), double(kMaxHypotheses)));
}

}  // namespace

PointPairList subset(const PointPairList& pairs, const std::vector<uint32_t>& indices)
{
    PointPairList out;
    out.reserve(indices.size());
    for (uint32_t k : indices)
        out.push_back(pairs[k]);
    return out;
}

bool findConsensus(const PointPairList& pairs, float tolerancePx, size_t minInliers, Consensus& result)
{
    const size_t n = pairs.size();
    if (n < 3 || n < minInliers)
        return false;
    float minX = pairs[0].firstX, maxX = minX, minY = pairs[0].firstY, maxY = minY;
    for (const PointPair& p : pairs) {
        minX = std::min(minX, p.firstX), maxX = std::max(maxX, p.firstX);
        minY = std::min(minY, p.firstY), maxY = std::max(maxY, p.firstY);
    }
    const double minCross = kMinTriangleShare * (double(maxX) - minX) * (double(maxY) - minY);
    const float limit2 = tolerancePx * tolerancePx;

    SampleRandom random(0x5EEDC0DEull ^ n);
    MatrixF hypothesis(3, 3), best;
    hypothesis.at(2, 2) = 1.0f;
    double bestCost = 0.0;
    size_t bestCount = 0;
    int32_t needed = kMaxHypotheses;
    for (int32_t round = 0; round < needed; ++round) {
        const uint32_t i = random.below(static_cast<uint32_t>(n));
        const uint32_t j = random.below(static_cast<uint32_t>(n));
        const uint32_t k = random.below(static_cast<uint32_t>(n));
        if (i == j || j == k || i == k || !affineThrough(pairs[i], pairs[j], pairs[k], minCross, hypothesis))
            continue;
        // Capped squared residuals: a near miss still counts for more than a far one.
        double cost = 0.0;
        size_t count = 0;
        for (const PointPair& p : pairs) {
            const float r2 = squaredResidual(hypothesis, p);
            if (r2 <= limit2) {
                cost += r2;
                ++count;
            } else {
                cost += limit2;
            }
        }
        if (best.rows() == 0 || cost < bestCost) {
            best = hypothesis;
            bestCost = cost;
            bestCount = count;
            needed = std::max(round + 1, hypothesesNeeded(bestCount, n));
        }
    }
    if (best.rows() == 0 || bestCount < minInliers)
        return false;

    std::vector<uint32_t> inliers, next;
    inliersOf(pairs, best, limit2, inliers);
    for (int32_t refit = 0; refit < kMaxRefits; ++refit) {
        MatrixF fitted;
        if (!fitAffine(subset(pairs, inliers), fitted))
            break;
        inliersOf(pairs, fitted, limit2, next);
        if (next.size() < inliers.size() && next.size() < minInliers)
            break;
        best = std::move(fitted);
        if (next == inliers)
            break;
        inliers.swap(next);
    }
    if (inliers.size() < minInliers)
        return false;
    result.transform = std::move(best);
    result.inliers = std::move(inliers);
    return true;
}

float rejectionLimit(std::vector<float>& keptResiduals, float floorPx, float sigmas)
{
    if (keptResiduals.empty())
        return floorPx;
    const auto middle = keptResiduals.begin() + keptResiduals.size() / 2;
    std::nth_element(keptResiduals.begin(), middle, keptResiduals.end());
    return std::max(floorPx, sigmas * *middle / kRayleighMedian);
}

bool fitWithRejection(const PointPairList& pairs, float floorPx, size_t minKept, MatrixF& transform,
                      std::vector<uint32_t>* kept)
{
    std::vector<uint32_t> current(pairs.size()), next;
    for (size_t k = 0; k < pairs.size(); ++k)
        current[k] = static_cast<uint32_t>(k);
    MatrixF fitted;
    if (!fitAffine(pairs, fitted))
        return false;
    std::vector<float> residuals(pairs.size()), spread;
    for (int32_t round = 0; round < 4 * kMaxRefits; ++round) {
        for (size_t k = 0; k < pairs.size(); ++k)
            residuals[k] = std::sqrt(squaredResidual(fitted, pairs[k]));
        spread.clear();
        for (uint32_t k : current)
            spread.push_back(residuals[k]);
        const float limit = rejectionLimit(spread, floorPx);
        next.clear();
        for (size_t k = 0; k < pairs.size(); ++k)
            if (residuals[k] <= limit)
                next.push_back(static_cast<uint32_t>(k));
        if (next == current || next.size() < minKept)
            break;
        MatrixF refitted;
        if (!fitAffine(subset(pairs, next), refitted))
            break;
        fitted = std::move(refitted);
        current.swap(next);
    }
    transform = std::move(fitted);
    if (kept)
        *kept = std::move(current);
    return true;
}

}  // namespace velreg
