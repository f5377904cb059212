#include <gtest/gtest.h>

#include <cmath>

#include "StarField.h"
#include "registration/AffineFit.h"
#include "registration/Alignment.h"
#include "registration/Matrix.h"
#include "registration/StarIdentity.h"
#include "registration/StarPattern.h"

using regtest::Point;
using velreg::MatrixD;
using velreg::MatrixF;
using velreg::StarPair;
using velreg::StarPairList;

namespace {

StarPair pairOf(int32_t x, int32_t y, int32_t u, int32_t v)
{
    StarPair p;
    p.firstX = static_cast<int16_t>(x), p.firstY = static_cast<int16_t>(y);
    p.secondX = static_cast<int16_t>(u), p.secondY = static_cast<int16_t>(v);
    return p;
}

MatrixF sentinel()
{
    MatrixF m(2, 2);
    m.at(0, 0) = 42.0f;
    return m;
}

}  // namespace

TEST(Matrix, GaussJordanInvertsSolvesAndRefusesSingularSystems)
{
    MatrixD a(3, 3);
    const double values[9] = {0, 2, 1, 1, 1, 0, 3, 0, 1};  // zero first pivot: needs the row swap
    std::copy(values, values + 9, a.data());
    MatrixD inverse, product;
    ASSERT_TRUE(velreg::invert(a, inverse));
    ASSERT_TRUE(velreg::multiply(a, inverse, product));
    for (int32_t i = 0; i < 3; ++i)
        for (int32_t j = 0; j < 3; ++j)
            EXPECT_NEAR(product.at(i, j), i == j ? 1.0 : 0.0, 1e-12);

    MatrixF f(2, 2), rhs(2, 1), x = sentinel();
    f.at(0, 0) = 2, f.at(0, 1) = 1, f.at(1, 0) = 1, f.at(1, 1) = 3;
    rhs.at(0, 0) = 5, rhs.at(1, 0) = 10;
    ASSERT_TRUE(velreg::solve(f, rhs, x));
    EXPECT_NEAR(x.at(0, 0), 1.0f, 1e-6f);
    EXPECT_NEAR(x.at(1, 0), 3.0f, 1e-6f);

    // Single precision calls a pivot below 1e-7 singular; double only an exact zero.
    MatrixF tiny(2, 2), out = sentinel();
    tiny.at(0, 0) = 5e-8f, tiny.at(1, 1) = 1.0f;
    EXPECT_FALSE(velreg::invert(tiny, out));
    EXPECT_EQ(out.rows(), 2);
    EXPECT_EQ(out.at(0, 0), 42.0f);
    MatrixD tinyD(2, 2), outD;
    tinyD.at(0, 0) = 5e-8, tinyD.at(1, 1) = 1.0;
    EXPECT_TRUE(velreg::invert(tinyD, outD));
    tinyD.at(0, 0) = 0.0;
    EXPECT_FALSE(velreg::invert(tinyD, outD));
    EXPECT_FALSE(velreg::invert(MatrixF(2, 3), out));

    MatrixD wide(5, 6);
    for (int32_t r = 0; r < 5; ++r)
        for (int32_t c = 0; c < 6; ++c)
            wide.at(r, c) = r * 0.5 + c * c - 3;
    MatrixD gram, general;
    velreg::multiplyTransposedSelf(wide, gram);
    ASSERT_TRUE(velreg::multiplyTransposed(wide, wide, general));
    for (int32_t i = 0; i < 6; ++i)
        for (int32_t j = 0; j < 6; ++j)
            EXPECT_DOUBLE_EQ(gram.at(i, j), general.at(i, j));
}

TEST(AffineFit, RecoversRotationAboutAPoleOutsideTheFrame)
{
    // Five points rotated by 2 degrees about (2000, 100), exactly.
    const auto map = regtest::rotationAbout({2000, 100}, 2.0, {0, 0});
    const float xs[5] = {100, 5900, 3000, 800, 5000};
    const float ys[5] = {300, 3900, 2000, 3500, 600};
    float us[5], vs[5];
    for (int k = 0; k < 5; ++k) {
        const Point p = map({xs[k], ys[k]});
        us[k] = static_cast<float>(p.x), vs[k] = static_cast<float>(p.y);
    }
    MatrixF m;
    ASSERT_TRUE(velreg::fitAffine(xs, ys, us, vs, 5, m));
    const double c = std::cos(2.0 * M_PI / 180), s = std::sin(2.0 * M_PI / 180);
    EXPECT_NEAR(m.at(0, 0), c, 1e-6);
    EXPECT_NEAR(m.at(0, 1), -s, 1e-6);
    EXPECT_NEAR(m.at(1, 0), s, 1e-6);
    EXPECT_NEAR(m.at(1, 1), c, 1e-6);
    EXPECT_NEAR(m.at(0, 2), 2000 - c * 2000 + s * 100, 1e-3);
    EXPECT_NEAR(m.at(1, 2), 100 - s * 2000 - c * 100, 1e-3);
    EXPECT_EQ(m.at(2, 2), 1.0f);
    EXPECT_EQ(m.at(2, 0), 0.0f);
}

TEST(AffineFit, DegeneratePairsFailAndLeaveTheMatrixAlone)
{
    MatrixF m = sentinel();
    StarPairList onePoint(5, pairOf(1000, 700, 1010, 690));
    EXPECT_FALSE(velreg::fitAffine(onePoint, m));
    StarPairList line;
    for (int k = 0; k < 8; ++k)
        line.push_back(pairOf(100 * k, 50 * k, 100 * k + 3, 50 * k - 2));
    EXPECT_FALSE(velreg::fitAffine(line, m));
    EXPECT_FALSE(velreg::fitAffine(StarPairList{}, m));
    EXPECT_EQ(m.rows(), 2);
    EXPECT_EQ(m.at(0, 0), 42.0f);
}

TEST(AffineFit, OutlierRejectionFollowsBothKeepRules)
{
    velreg::StarPattern frame;
    frame.width = 6000, frame.height = 4000;  // pairs within (W + H) / 180 = 55.6 px always stay
    MatrixF identity = MatrixF::identity(3);
    StarPairList pairs;
    for (int k = 0; k < 10; ++k)
        pairs.push_back(pairOf(300 * k, 200 * k + 7, 300 * k, 200 * k + 7));
    pairs.push_back(pairOf(100, 100, 155, 100));   // 55 px off: near enough
    pairs.push_back(pairOf(200, 100, 1200, 100));  // far off
    pairs.push_back(pairOf(300, 100, 300, 900));
    velreg::rejectOutliers(frame, identity, pairs);
    ASSERT_EQ(pairs.size(), 11u);
    EXPECT_EQ(pairs[10].secondX, 155);

    // Five good and five wrong pairs in a small frame: the wrong ones go, in order.
    frame.width = 180, frame.height = 180;  // 2 px near-rule
    StarPairList mixed;
    for (int k = 0; k < 5; ++k) {
        mixed.push_back(pairOf(10 * k, 5 * k, 10 * k, 5 * k));
        mixed.push_back(pairOf(10 * k + 1, 5 * k + 1, 10 * k + 40, 5 * k + 41));
    }
    StarPairList copy = mixed;
    velreg::rejectOutliers(frame, identity, copy);
    EXPECT_EQ(copy.size(), 10u);  // only 5 survive: fewer than 6, the list stays whole
    mixed.push_back(pairOf(77, 66, 77, 66));
    velreg::rejectOutliers(frame, identity, mixed);
    ASSERT_EQ(mixed.size(), 6u);
    for (const auto& p : mixed)
        EXPECT_EQ(p.firstX, p.secondX);
}

TEST(Alignment, IdentitiesReachOnlyTheSurvivingPairs)
{
    // A tight cluster of stars that moved elsewhere between the frames matches perfectly by its
    // descriptors, but its pairs are outliers of the transform.
    const int32_t width = 3000, height = 2000;
    auto reference = regtest::randomStars(220, 0, 0, width, height, 60, 31);
    reference.erase(std::remove_if(reference.begin(), reference.end(),
                                   [](const auto& s) { return s.x < 700 && s.y < 700; }),
                    reference.end());
    const auto cluster = regtest::randomStars(18, 200, 200, 450, 450, 12, 32);
    auto frame = regtest::mapStars(reference, [](Point p) { return Point{p.x + 20, p.y + 10}; });
    for (const auto& s : cluster) {
        reference.push_back(s);
        frame.push_back({s.x + 90, s.y + 70, s.amplitude});  // 92 px off the field shift
    }
    const velreg::StarList frameList = regtest::starList(frame, width, height);
    const size_t fieldCount = frameList.size() - cluster.size();  // the cluster comes last
    velreg::StarPattern second = velreg::buildStarPattern(regtest::starList(reference, width, height), width, height, 300, 8);
    velreg::StarPattern first = velreg::buildStarPattern(frameList, width, height, 300, 8);
    ASSERT_EQ(first.chosenCount(), static_cast<int32_t>(frameList.size()));
    velreg::assignStarIdentities(second);
    for (auto& d : first.descriptors)
        d.identity = -7;  // an old identity that the outliers must keep
    ASSERT_TRUE(velreg::alignWithIdentities(first, second));
    size_t inherited = 0;
    for (size_t k = 0; k < first.descriptors.size(); ++k) {
        if (k >= fieldCount)
            EXPECT_EQ(first.descriptors[k].identity, -7) << "outlier star " << k;
        else if (first.descriptors[k].identity > 0)
            ++inherited;
    }
    EXPECT_GE(inherited, fieldCount * 9 / 10);

    MatrixF transform = sentinel();
    velreg::StarPattern few = velreg::buildStarPattern(regtest::starList(frame, width, height), width, height, 300, 8);
    few.descriptors.resize(2);
    EXPECT_FALSE(velreg::alignPatterns(few, second, transform));
    EXPECT_FALSE(velreg::alignWithIdentities(few, second));
    EXPECT_EQ(transform.at(0, 0), 42.0f);
}
