#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "registration/PairConsensus.h"

using velreg::PointPair;
using velreg::PointPairList;

namespace {

// The sky's motion between two frames: a small turn and a shift.
constexpr double kTurn = 0.004, kShiftX = 9.5, kShiftY = -6.25;

PointPair moved(double x, double y, double noise)
{
    const double c = std::cos(kTurn), s = std::sin(kTurn);
    return {float(x), float(y), float(c * x - s * y + kShiftX + noise), float(s * x + c * y + kShiftY - noise)};
}

// Largest distance between `m` and the sky's motion over a 1200 × 800 frame.
double worstError(const velreg::MatrixF& m)
{
    double worst = 0;
    for (float y : {0.0f, 400.0f, 799.0f})
        for (float x : {0.0f, 600.0f, 1199.0f}) {
            const PointPair truth = moved(x, y, 0);
            float u, v;
            velreg::applyAffine(m, x, y, u, v);
            worst = std::max(worst, double(std::hypot(u - truth.secondX, v - truth.secondY)));
        }
    return worst;
}

}  // namespace

TEST(PairConsensus, StillPointsAndLookAlikesCannotOutvoteTheSky)
{
    std::mt19937 random(3);
    std::uniform_real_distribution<double> x(0, 1200), y(0, 800), noise(-0.05, 0.05);
    PointPairList pairs;
    for (int i = 0; i < 25; ++i)
        pairs.push_back(moved(x(random), y(random), noise(random)));
    // Lit windows and hot pixels standing still (nearly as many as the stars), and chance look-alikes.
    for (int i = 0; i < 20; ++i) {
        const float px = float(x(random)), py = float(y(random));
        pairs.push_back({px, py, px, py});
    }
    for (int i = 0; i < 15; ++i)
        pairs.push_back({float(x(random)), float(y(random)), float(x(random)), float(y(random))});

    velreg::Consensus consensus;
    ASSERT_TRUE(velreg::findConsensus(pairs, 1.0f, 6, consensus));
    EXPECT_EQ(consensus.inliers.size(), 25u);
    EXPECT_EQ(consensus.inliers.back(), 24u);
    EXPECT_LT(worstError(consensus.transform), 0.05);

    // Pairs that agree on nothing find no motion.
    const PointPairList lookAlikes(pairs.begin() + 45, pairs.end());
    EXPECT_FALSE(velreg::findConsensus(lookAlikes, 1.0f, 6, consensus));
}

TEST(PairConsensus, RejectionDropsStragglersAndKeepsTheRest)
{
    std::mt19937 random(5);
    std::uniform_real_distribution<double> x(0, 1200), y(0, 800), noise(-0.03, 0.03);
    PointPairList pairs;
    for (int i = 0; i < 40; ++i)
        pairs.push_back(moved(x(random), y(random), noise(random)));
    // Centres pulled by a neighbour or a trail: close enough to pass any consensus, not the fit.
    for (const double off : {0.6, -0.8, 1.0}) {
        PointPair p = moved(x(random), y(random), 0);
        p.secondX += float(off);
        pairs.push_back(p);
    }
    velreg::MatrixF transform;
    std::vector<uint32_t> kept;
    ASSERT_TRUE(velreg::fitWithRejection(pairs, 0.25f, 6, transform, &kept));
    EXPECT_EQ(kept.size(), 40u);
    EXPECT_LT(worstError(transform), 0.02);
}
