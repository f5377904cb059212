#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "StarField.h"
#include "parallel/ProcessPool.h"
#include "registration/AffineFit.h"
#include "registration/DistortionGrid.h"
#include "registration/RadialDistortion.h"
#include "registration/StarPattern.h"

using regtest::Point;
using velreg::MatrixF;
using velreg::StarPairList;

namespace {

struct RadialTruth {
    double k1, cx, cy, a, b, c, d, tx, ty;

    Point operator()(Point p) const
    {
        const double x = p.x - cx, y = p.y - cy;
        const double s = 1 + k1 * (x * x + y * y);
        const double ux = x / s, uy = y / s;
        const double mx = a * ux + b * uy + tx, my = c * ux + d * uy + ty;
        const double t = 1 + k1 * (mx * mx + my * my);
        return {mx * t + cx, my * t + cy};
    }
};

StarPairList pairsThrough(const std::function<Point(Point)>& map, int32_t width, int32_t height, int32_t count,
                          uint32_t seed)
{
    std::mt19937 random(seed);
    StarPairList pairs;
    while (static_cast<int32_t>(pairs.size()) < count) {
        const int32_t x = static_cast<int32_t>(random() % width), y = static_cast<int32_t>(random() % height);
        const Point q = map({double(x), double(y)});
        velreg::StarPair pair;
        pair.firstX = static_cast<int16_t>(x), pair.firstY = static_cast<int16_t>(y);
        pair.secondX = static_cast<int16_t>(std::lround(q.x)), pair.secondY = static_cast<int16_t>(std::lround(q.y));
        pairs.push_back(pair);
    }
    return pairs;
}

}  // namespace

TEST(RadialDistortion, ExactAffinePairsKeepZeroCoefficients)
{
    velreg::StarPattern frame;
    frame.width = 4000, frame.height = 3000;
    const StarPairList pairs = pairsThrough([](Point p) { return Point{p.x + 7, p.y - 3}; }, 4000, 3000, 50, 1);
    MatrixF affine;
    float k1 = 1, k2 = 1;
    EXPECT_TRUE(velreg::estimateRadialDistortion(frame, pairs, affine, k1, k2));
    EXPECT_EQ(k1, 0.0f);
    EXPECT_EQ(k2, 0.0f);
    EXPECT_NEAR(affine.at(0, 2), 7.0f, 1e-3f);  // centred coordinates: the shift stays the shift
    EXPECT_EQ(velreg::radialResidual(frame, pairs, 0, 0, affine), 0.0f);
}

TEST(RadialDistortion, RecoversKnownK1WellEnoughForTheCorners)
{
    const int32_t width = 4000, height = 3000;
    const double angle = 0.5 * M_PI / 180;
    // 1 % radial distortion at the corners (25 px) and a shift that moves stars to other radii.
    const RadialTruth truth{0.01 / (2500.0 * 2500.0), 2000, 1500, std::cos(angle), -std::sin(angle),
                            std::sin(angle), std::cos(angle), 120, -80};
    velreg::StarPattern frame;
    frame.width = width, frame.height = height;
    const StarPairList pairs = pairsThrough(truth, width, height, 300, 2);

    velreg::RadialModel model;
    ASSERT_TRUE(velreg::estimateRadialDistortion(frame, pairs, model.affine, model.k1, model.k2));
    MatrixF plain;
    ASSERT_TRUE(velreg::fitAffine(pairs, plain));
    double worstModel = 0, worstPlain = 0;
    for (const Point corner : {Point{0, 0}, Point{3999, 0}, Point{0, 2999}, Point{3999, 2999}}) {
        const Point expected = truth(corner);
        float x, y;
        velreg::applyRadialModel(model, width, height, float(corner.x), float(corner.y), x, y);
        worstModel = std::max(worstModel, std::hypot(x - expected.x, y - expected.y));
        velreg::applyAffine(plain, float(corner.x), float(corner.y), x, y);
        worstPlain = std::max(worstPlain, std::hypot(x - expected.x, y - expected.y));
    }
    EXPECT_LT(worstModel, 0.3);
    EXPECT_GT(worstPlain, 3.0);  // the model is needed at all
    // k2 absorbs part of k1 along a shallow valley of the residual; only the sign of k1 is certain.
    EXPECT_GT(model.k1, 0.5 * truth.k1);
}

TEST(RadialDistortion, SingularPairsDoNotBreakTheSearch)
{
    velreg::StarPattern frame;
    frame.width = 4000, frame.height = 3000;
    StarPairList onePoint(6);
    for (auto& p : onePoint)
        p.firstX = p.secondX = 100, p.firstY = p.secondY = 200;
    MatrixF affine;
    float k1 = 5, k2 = 5;
    EXPECT_TRUE(velreg::estimateRadialDistortion(frame, onePoint, affine, k1, k2));
    EXPECT_EQ(k1, 0.0f);
    EXPECT_EQ(k2, 0.0f);
    EXPECT_TRUE(std::isinf(velreg::radialResidual(frame, onePoint, 0, 0, affine)));
}

TEST(DistortionGrid, DisplacementsAtStarsMatchTheTrueDistortion)
{
    const int32_t width = 3000, height = 2000;
    // Frame = affine(reference) plus a smooth, non-radial distortion of up to 4 px.
    auto distortion = [&](Point p) {
        return Point{4.0 * std::sin(M_PI * p.x / width) * (p.y / height), -3.0 * std::cos(M_PI * p.y / height) * (p.x / width)};
    };
    const auto affine = regtest::rotationAbout({1500, -20000}, 0.8, {25, -15});
    auto toFrame = [&](Point p) {
        const Point a = affine(p);
        const Point d = distortion(a);
        return Point{a.x + d.x, a.y + d.y};
    };
    const auto reference = regtest::randomStars(700, 0, 0, width, height, 25, 41);
    const auto frame = regtest::mapStars(reference, toFrame);
    velreg::StarPattern second =
        velreg::buildStarPattern(regtest::starList(reference, width, height), width, height, 450, 10);
    velreg::StarPattern first = velreg::buildStarPattern(regtest::starList(frame, width, height), width, height, 450, 10);

    velthread::ProcessPoolScope scope(2);
    MatrixF transform;
    velreg::DistortionGrid grid;
    grid.reset();
    ASSERT_TRUE(velreg::estimateDistortionGrid(first, second, transform, grid));
    EXPECT_FLOAT_EQ(grid.extentWidth, 1.01f * width);
    EXPECT_FLOAT_EQ(grid.cellHeight, 1.01f * height / 256);
    MatrixF inverse;
    ASSERT_TRUE(velreg::invert(transform, inverse));

    double sum = 0, worst = 0;
    int32_t count = 0, within = 0;
    for (const auto& star : reference) {
        const Point truth = toFrame({star.x, star.y});
        if (truth.x < 30 || truth.y < 30 || truth.x > width - 30 || truth.y > height - 30)
            continue;
        float tx, ty;
        velreg::applyAffine(inverse, float(star.x), float(star.y), tx, ty);
        const velreg::Displacement d = grid.lookup(tx, ty);
        const double error = std::hypot(tx + d.dx - truth.x, ty + d.dy - truth.y);
        sum += error * error;
        worst = std::max(worst, error);
        within += error < 0.5;
        ++count;
    }
    ASSERT_GT(count, 500);
    // Whole-pixel star positions leave about 0.4 px of noise per sample; the local surfaces average
    // it away except at the frame's corners, where they extrapolate.
    EXPECT_LT(std::sqrt(sum / count), 0.25);
    EXPECT_GE(within, count * 98 / 100);
    EXPECT_LT(worst, 1.0);
}

TEST(DistortionGrid, DegenerateInputFailsOrStaysFinite)
{
    velreg::StarPattern empty;
    MatrixF transform = MatrixF::identity(3);
    velreg::DistortionGrid grid;
    EXPECT_FALSE(velreg::estimateDistortionGrid(empty, empty, transform, grid));
    velreg::DistortionGrid tiny;
    tiny.reset(1, 1);
    EXPECT_FALSE(velreg::estimateDistortionGrid(empty, empty, transform, tiny));

    // Samples all on one spot determine no surface: nodes get no displacement, never NaN.
    std::vector<velreg::DisplacementSample> spot(8, velreg::DisplacementSample{500, 400, 2, -1});
    velreg::DistortionGrid small;
    small.reset(17, 17);
    velreg::fillDistortionGrid(spot, 1000, 800, small);
    for (const auto& node : small.nodes) {
        EXPECT_TRUE(std::isfinite(node.dx));
        EXPECT_TRUE(std::isfinite(node.dy));
    }
    // Lookups far outside the grid clamp to the border nodes.
    const velreg::Displacement far = small.lookup(-1e9f, 1e9f);
    EXPECT_TRUE(std::isfinite(far.dx));
}
