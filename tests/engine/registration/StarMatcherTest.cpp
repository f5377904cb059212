#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "StarField.h"
#include "parallel/ProcessPool.h"
#include "registration/StarMatcher.h"
#include "registration/StarPattern.h"

using regtest::Point;
using velreg::StarOffset;
using velreg::StarPairList;
using velreg::StarPattern;

namespace {

constexpr int32_t kWidth = 3000;
constexpr int32_t kHeight = 2000;

std::vector<regtest::TrueStar> field(uint32_t seed)
{
    return regtest::randomStars(400, -200, -200, kWidth + 200, kHeight + 200, 30, seed);
}

StarPattern patternOf(const std::vector<regtest::TrueStar>& stars)
{
    return velreg::buildStarPattern(regtest::starList(stars, kWidth, kHeight), kWidth, kHeight, 300, 8);
}

// Share of pairs whose first star really is the image of the second under `map` (within 1.5 px).
double correctShare(const StarPairList& pairs, const regtest::PointMap& referenceToFrame)
{
    int32_t correct = 0;
    for (const auto& pair : pairs) {
        const Point p = referenceToFrame({double(pair.secondX), double(pair.secondY)});
        if (std::hypot(p.x - pair.firstX, p.y - pair.firstY) < 1.5)
            ++correct;
    }
    return pairs.empty() ? 0.0 : double(correct) / pairs.size();
}

// A pattern whose descriptors sit at the given positions and carry identities 1, 2, 3, … (neighbours
// left empty, so only identities can pair them).
StarPattern identityPattern(const std::vector<std::pair<int16_t, int16_t>>& positions)
{
    StarPattern pattern;
    pattern.width = kWidth;
    pattern.height = kHeight;
    for (size_t k = 0; k < positions.size(); ++k) {
        velreg::StarDescriptor d;
        d.star = {positions[k].first, positions[k].second, 2000};
        d.identity = static_cast<int32_t>(k) + 1;
        pattern.descriptors.push_back(d);
    }
    pattern.offeredCount = pattern.chosenCount();
    return pattern;
}

}  // namespace

TEST(StarMatcher, LengthAndTriangleTests)
{
    EXPECT_TRUE(velreg::similarLength({100, 0}, {0, 100}));
    EXPECT_TRUE(velreg::similarLength({100, 0}, {101, 0}));   // 1 % longer
    EXPECT_FALSE(velreg::similarLength({100, 0}, {102, 0}));  // 2 % longer
    EXPECT_TRUE(velreg::similarLength({1, 0}, {1, 1}));       // squared lengths 1 apart
    EXPECT_FALSE(velreg::similarLength({0, 0}, {3, 0}));
    const StarOffset a1{100, 0}, a2{30, 80};
    // The same triangle turned by 90 degrees, and its mirror image.
    EXPECT_TRUE(velreg::sameTriangle(a1, a2, {0, 100}, {-80, 30}));
    EXPECT_FALSE(velreg::sameTriangle(a1, a2, {100, 0}, {30, -80}));
    EXPECT_FALSE(velreg::sameTriangle(a1, a2, {100, 0}, {60, 80}));
    // A zero offset has no direction and never matches; huge offsets do not overflow.
    EXPECT_FALSE(velreg::sameTriangle({0, 0}, a2, {0, 0}, a2));
    EXPECT_TRUE(velreg::sameTriangle({32000, 100}, {-32000, 30000}, {32000, 100}, {-32000, 30000}));
}

TEST(StarMatcher, ScoreSurvivesRotationButNotMirroring)
{
    const auto reference = regtest::randomStars(300, 0, 0, 6000, 6000, 30, 21);
    const Point centre{3000, 3000};
    const auto rotated = regtest::mapStars(reference, regtest::rotationAbout(centre, 2.0, {40, -25}));
    const auto mirrored = regtest::mapStars(reference, [](Point p) { return Point{6000 - p.x, p.y}; });
    // Each star's descriptor against its own image, built from all stars (a limit above the count keeps
    // list order).
    auto descriptorOf = [](const std::vector<regtest::TrueStar>& stars, size_t index) {
        velreg::StarList list;
        for (const auto& s : stars)
            list.push_back({static_cast<int16_t>(std::lround(s.x)), static_cast<int16_t>(std::lround(s.y)), 2000});
        return velreg::buildStarPattern(list, 6000, 6000, 30000, 8).descriptors[index];
    };
    velreg::ScoreScratch scratch;
    int32_t rotatedSum = 0, mirroredMax = 0, unrelatedMax = 0;
    const int32_t samples = 20;
    for (int32_t k = 0; k < samples; ++k) {
        const auto base = descriptorOf(reference, k * 10);
        rotatedSum += velreg::descriptorScore(descriptorOf(rotated, k * 10), base, scratch);
        mirroredMax = std::max(mirroredMax, velreg::descriptorScore(descriptorOf(mirrored, k * 10), base, scratch));
        unrelatedMax = std::max(unrelatedMax, velreg::descriptorScore(descriptorOf(reference, k * 10 + 5), base, scratch));
    }
    EXPECT_GE(rotatedSum / samples, 950);
    EXPECT_LT(mirroredMax, velreg::kMinMatchScore);
    EXPECT_LT(unrelatedMax, velreg::kMinMatchScore);
    velreg::StarDescriptor two;
    two.neighbourCount = 2;
    EXPECT_EQ(velreg::descriptorScore(two, two, scratch), 0);
}

TEST(StarMatcher, RotatedShiftedFieldPairsTheRightStars)
{
    const auto reference = field(22);
    const auto toFrame = regtest::rotationAbout({kWidth / 2.0, -6000}, -1.5, {35, 12});
    const auto frame = regtest::mapStars(reference, toFrame);
    const StarPattern first = patternOf(frame);
    const StarPattern second = patternOf(reference);
    StarPairList pairs;
    {
        velthread::ProcessPoolScope scope(2);
        ASSERT_TRUE(velreg::matchStars(first, second, pairs));
    }
    EXPECT_GE(pairs.size(), 200u);
    EXPECT_GE(correctShare(pairs, toFrame), 0.95);
    for (size_t k = 1; k < pairs.size(); ++k) {
        const bool ordered = pairs[k - 1].secondX < pairs[k].secondX ||
                             (pairs[k - 1].secondX == pairs[k].secondX && pairs[k - 1].secondY < pairs[k].secondY);
        EXPECT_TRUE(ordered) << "each second star at most once, sorted";
    }
}

// The reference keeps what matching prepared from it; descriptors changed in place afterwards must
// not be matched through the stale preparation.
TEST(StarMatcher, AReferenceWhoseDescriptorsChangedIsPreparedAgain)
{
    const auto reference = field(22);
    const auto toFrame = regtest::rotationAbout({kWidth / 2.0, -6000}, -1.5, {35, 12});
    const StarPattern first = patternOf(regtest::mapStars(reference, toFrame));
    StarPattern second = patternOf(field(5));
    StarPairList pairs;
    velreg::matchStars(first, second, pairs);
    EXPECT_LT(pairs.size(), 20u) << "another field";
    second.descriptors = patternOf(reference).descriptors;
    ASSERT_TRUE(velreg::matchStars(first, second, pairs));
    EXPECT_GE(pairs.size(), 200u);
    EXPECT_GE(correctShare(pairs, toFrame), 0.95);
}

TEST(StarMatcher, TooFewStarsFailCleanly)
{
    StarPairList pairs;
    const StarPattern empty;
    const StarPattern full = patternOf(field(23));
    EXPECT_FALSE(velreg::matchStars(empty, full, pairs));
    EXPECT_FALSE(velreg::matchStars(full, empty, pairs));
    const StarPattern two = identityPattern({{10, 10}, {20, 20}});
    EXPECT_FALSE(velreg::matchStars(two, two, pairs));
    // Three identity pairs are fewer than the four a match needs.
    const StarPattern three = identityPattern({{10, 10}, {20, 20}, {30, 40}});
    EXPECT_FALSE(velreg::matchStars(three, three, pairs));
    EXPECT_TRUE(pairs.empty());
    // All stars on one point: zero offsets everywhere, no pairs.
    const velreg::StarList same(50, velreg::Star{100, 100, 2000});
    const StarPattern spot = velreg::buildStarPattern(same, kWidth, kHeight, 300, 8);
    EXPECT_FALSE(velreg::matchStars(spot, spot, pairs));
}

TEST(StarMatcher, IdentitiesPairStarsWhateverTheirDescriptors)
{
    std::vector<std::pair<int16_t, int16_t>> positions;
    for (int16_t k = 0; k < 8; ++k)
        positions.push_back({static_cast<int16_t>(100 + 50 * k), static_cast<int16_t>(200 + 7 * k)});
    StarPattern first = identityPattern(positions);
    for (auto& d : first.descriptors)
        d.star.x = static_cast<int16_t>(d.star.x + 5);
    const StarPattern second = identityPattern(positions);
    StarPairList pairs;
    ASSERT_TRUE(velreg::matchStars(first, second, pairs));
    ASSERT_EQ(pairs.size(), 8u);
    for (const auto& pair : pairs) {
        EXPECT_EQ(pair.score, velreg::kIdentityScore);
        EXPECT_EQ(pair.firstIndex, pair.secondIndex);
    }
    // Two first stars claiming one second star: only one pair survives.
    first.descriptors[1].identity = first.descriptors[0].identity;
    ASSERT_TRUE(velreg::matchStars(first, second, pairs));
    EXPECT_EQ(pairs.size(), 7u);
}

TEST(StarMatcher, StationaryPairsAreDroppedUnlessFewStarsMoved)
{
    std::vector<std::pair<int16_t, int16_t>> positions;
    for (int16_t k = 0; k < 100; ++k)
        positions.push_back({static_cast<int16_t>(30 * (k % 10) + 100), static_cast<int16_t>(30 * (k / 10) + 100)});
    const StarPattern second = identityPattern(positions);
    auto matchWithMoved = [&](int32_t moved) {
        StarPattern first = identityPattern(positions);
        for (int32_t k = 0; k < moved; ++k)
            first.descriptors[k].star.y = static_cast<int16_t>(first.descriptors[k].star.y + 3);
        StarPairList pairs;
        EXPECT_TRUE(velreg::matchStars(first, second, pairs));
        return pairs.size();
    };
    EXPECT_EQ(matchWithMoved(20), 100u);  // 20 < 30 and 60 < 100: hot pixels may be stars after all
    EXPECT_EQ(matchWithMoved(34), 34u);   // 3 × 34 ≥ 100: stationary pairs are a fixed pattern
    EXPECT_EQ(matchWithMoved(40), 40u);
    EXPECT_EQ(matchWithMoved(0), 100u);
}

// Candidates are scored nearest first, yet the partner is still the lowest index among the best
// scores: a copy of a descriptor appended to the second pattern, placed right on the first star,
// scores the same as the original a little further away and must not take its place.
TEST(StarMatcher, EqualScoresGoToTheLowerIndexWhateverTheDistance)
{
    const StarPattern first = patternOf(field(41));
    StarPattern second = first;
    const int32_t k = 17;
    velreg::StarDescriptor copy = second.descriptors[k];
    second.descriptors[k].star.x = static_cast<int16_t>(second.descriptors[k].star.x + 30);
    second.descriptors.push_back(copy);  // index chosenCount - 1, at the first star's own position
    StarPairList pairs;
    ASSERT_TRUE(velreg::matchAllStars(first, second, pairs));
    const auto pair = std::find_if(pairs.begin(), pairs.end(), [&](const velreg::StarPair& p) { return p.firstIndex == k; });
    ASSERT_NE(pair, pairs.end());
    EXPECT_EQ(pair->secondIndex, k);
    EXPECT_EQ(pair->score, 1000);
}

TEST(StarMatcher, AChainStartingAtTheLastRowThatLeavesRoomStillWins)
{
    // Descriptor B1 shares all but the first five offsets with A (a chain of 15 from row 5), B0 all
    // but the first six (14). B0 is scored first, so B1 has to beat 700: a chain of 15 that can only
    // start in row 5, the last row that leaves room for it.
    const auto offsets = [](int32_t replaced) {
        velreg::StarDescriptor d;
        d.neighbourCount = velreg::StarDescriptor::kMaxNeighbours;
        for (int32_t q = 0; q < d.neighbourCount; ++q) {
            const double length = 100 * std::pow(1.1, q) * (q < replaced ? 1.05 : 1.0);
            const double angle = q * (q < replaced ? 3.2 : 2.3);
            d.neighbours[static_cast<size_t>(q)] = {static_cast<int16_t>(std::lround(length * std::cos(angle))),
                                                    static_cast<int16_t>(std::lround(length * std::sin(angle)))};
        }
        return d;
    };
    const auto patternWith = [](std::vector<velreg::StarDescriptor> descriptors) {
        StarPattern pattern;
        pattern.width = kWidth;
        pattern.height = kHeight;
        pattern.descriptors = std::move(descriptors);
        pattern.offeredCount = pattern.chosenCount();
        return pattern;
    };
    velreg::StarDescriptor a = offsets(0), b0 = offsets(6), b1 = offsets(5);
    a.star = b0.star = {1500, 1000, 2000};
    b1.star = {100, 100, 2000};
    velreg::ScoreScratch scratch;
    ASSERT_EQ(velreg::descriptorScore(a, b0, scratch), 700);
    ASSERT_EQ(velreg::descriptorScore(a, b1, scratch), 750);
    StarPairList pairs;
    velreg::matchAllStars(patternWith({a}), patternWith({b0, b1}), pairs);
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].secondIndex, 1);
    EXPECT_EQ(pairs[0].score, 750);
}

// The matcher gives most candidates up before building their tables (bounds from matched triangles,
// early exits); none of that may change a pair. A frame with a third of the stars lost and half as many
// unrelated ones added, shifted further than the star spacing so partners are rarely the nearest,
// gives partial chains, near misses and stars without partner, checked against every pair scored
// in full.
TEST(StarMatcher, GivingUpEarlyNeverChangesAPair)
{
    const auto reference = regtest::randomStars(220, 0, 0, kWidth, kHeight, 30, 51);
    auto frame = regtest::mapStars(reference, regtest::rotationAbout({kWidth / 2.0, kHeight / 2.0}, 1.0, {260, -140}));
    int32_t k = 0;
    std::erase_if(frame, [&k](const regtest::TrueStar&) { return ++k % 3 == 0; });
    const auto extras = regtest::randomStars(75, 0, 0, kWidth, kHeight, 30, 52);
    frame.insert(frame.end(), extras.begin(), extras.end());
    const auto patternOf150 = [](const std::vector<regtest::TrueStar>& stars) {
        return velreg::buildStarPattern(regtest::starList(stars, kWidth, kHeight), kWidth, kHeight, 150, 8);
    };
    const StarPattern first = patternOf150(frame);
    const StarPattern second = patternOf150(reference);

    StarPairList expected;
    velreg::ScoreScratch scratch;
    for (int32_t i = 0; i < first.chosenCount(); ++i) {
        int32_t best = -1, bestScore = 0;
        for (int32_t j = 0; j < second.chosenCount(); ++j) {
            const int32_t score = velreg::descriptorScore(first.descriptors[i], second.descriptors[j], scratch);
            if (score > bestScore) {
                best = j;
                bestScore = score;
            }
        }
        if (bestScore >= velreg::kMinMatchScore)
            expected.push_back({0, 0, 0, 0, static_cast<int16_t>(i), static_cast<int16_t>(best), bestScore});
    }
    StarPairList pairs;
    {
        velthread::ProcessPoolScope scope(2);
        ASSERT_TRUE(velreg::matchAllStars(first, second, pairs));
    }
    ASSERT_GE(expected.size(), 40u);
    ASSERT_EQ(pairs.size(), expected.size());
    for (size_t p = 0; p < pairs.size(); ++p) {
        EXPECT_EQ(pairs[p].firstIndex, expected[p].firstIndex);
        EXPECT_EQ(pairs[p].secondIndex, expected[p].secondIndex) << "first " << expected[p].firstIndex;
        EXPECT_EQ(pairs[p].score, expected[p].score) << "first " << expected[p].firstIndex;
    }
}
