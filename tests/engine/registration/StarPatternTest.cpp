#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "StarField.h"
#include "parallel/ProcessPool.h"
#include "registration/StarIdentity.h"
#include "registration/StarPattern.h"

using velreg::Star;
using velreg::StarList;
using velreg::StarPattern;

namespace {

StarList randomList(int32_t count, int32_t width, int32_t height, uint32_t seed)
{
    std::mt19937 random(seed);
    StarList stars;
    for (int32_t k = 0; k < count; ++k)
        stars.push_back({static_cast<int16_t>(random() % width), static_cast<int16_t>(random() % height),
                         static_cast<int32_t>(1025 + random() % 100000)});
    return stars;
}

}  // namespace

TEST(StarPattern, FewerThanThreeStarsGiveAnEmptyPattern)
{
    const StarList two = {{10, 10, 2000}, {50, 60, 3000}};
    const StarPattern pattern = velreg::buildStarPattern(two, 640, 480, 300, 8);
    EXPECT_TRUE(pattern.empty());
    EXPECT_EQ(pattern.offeredCount, 2);
    EXPECT_EQ(pattern.width, 640);
    EXPECT_EQ(pattern.height, 480);
    EXPECT_TRUE(velreg::buildStarPattern({}, 640, 480, 300, 8).empty());
}

TEST(StarPattern, ListWithinTheLimitKeepsListOrderAndNearestNeighbours)
{
    const StarList three = {{100, 100, 5000}, {110, 100, 9000}, {100, 130, 7000}};
    const StarPattern small = velreg::buildStarPattern(three, 640, 480, 300, 8);
    ASSERT_EQ(small.chosenCount(), 3);
    EXPECT_EQ(small.descriptors[0].star.x, 100);
    EXPECT_EQ(small.descriptors[1].star.x, 110);
    for (const auto& d : small.descriptors)
        EXPECT_EQ(d.neighbourCount, 2);
    EXPECT_EQ(small.descriptors[0].neighbours[0].dx, 10);  // nearest first
    EXPECT_EQ(small.descriptors[0].neighbours[1].dy, 30);
    EXPECT_EQ(small.descriptors[0].identity, 0);

    const StarList list = randomList(150, 2000, 1500, 5);
    const StarPattern pattern = velreg::buildStarPattern(list, 2000, 1500, 300, 8);
    ASSERT_EQ(pattern.chosenCount(), 150);
    for (size_t k = 0; k < list.size(); ++k) {
        const auto& d = pattern.descriptors[k];
        EXPECT_EQ(d.star.x, list[k].x);
        ASSERT_EQ(d.neighbourCount, 20);
        std::vector<int64_t> distances;
        for (size_t j = 0; j < list.size(); ++j)
            if (j != k) {
                const int64_t dx = list[j].x - list[k].x, dy = list[j].y - list[k].y;
                distances.push_back(dx * dx + dy * dy);
            }
        std::sort(distances.begin(), distances.end());
        for (int32_t n = 0; n < 20; ++n) {
            const int64_t dx = d.neighbours[n].dx, dy = d.neighbours[n].dy;
            EXPECT_EQ(dx * dx + dy * dy, distances[n]);
        }
    }
}

TEST(StarPattern, CrowdedCellGivesUpItsStarsBrightestFirst)
{
    StarList corner;
    for (int32_t k = 0; k < 400; ++k)
        corner.push_back({static_cast<int16_t>(k % 20), static_cast<int16_t>(k / 20), 2000 + 37 * ((k * 7919) % 400)});
    const StarPattern pattern = velreg::buildStarPattern(corner, 4000, 3000, 300, 8);
    ASSERT_EQ(pattern.chosenCount(), 300);
    for (int32_t k = 1; k < 300; ++k)
        EXPECT_GE(pattern.descriptors[k - 1].star.brightness, pattern.descriptors[k].star.brightness);
}

TEST(StarPattern, SelectionSpreadsOverTheGrid)
{
    // 900 bright stars in one cell and 100 faint ones over the rest of the frame.
    StarList stars = randomList(900, 250, 180, 1);
    for (auto& s : stars)
        s.brightness += 500000;
    StarList spread = randomList(100, 1750, 1500, 2);
    for (auto& s : spread)
        s.x = static_cast<int16_t>(s.x + 250);  // outside the crowded cell
    stars.insert(stars.end(), spread.begin(), spread.end());
    const StarPattern pattern = velreg::buildStarPattern(stars, 2000, 1500, 300, 8);
    EXPECT_GE(pattern.chosenCount(), 300);
    const auto faintChosen = std::count_if(pattern.descriptors.begin(), pattern.descriptors.end(),
                                           [](const auto& d) { return d.star.brightness < 500000; });
    EXPECT_EQ(faintChosen, 100);  // every spread star gets in before the crowded cell is drained
}

TEST(StarPattern, SelectionEndsForNonPositiveBrightnessAndTinyFrames)
{
    StarList stars = randomList(500, 2000, 1500, 3);
    for (size_t k = 0; k < stars.size(); ++k)
        stars[k].brightness = -static_cast<int32_t>(k % 3);
    const StarPattern pattern = velreg::buildStarPattern(stars, 2000, 1500, 300, 8);
    EXPECT_GE(pattern.chosenCount(), 300);
    EXPECT_LE(pattern.chosenCount(), 500);
    // Frames narrower than the grid, and a zero grid size, still give a pattern.
    EXPECT_GE(velreg::buildStarPattern(stars, 5, 5, 300, 8).chosenCount(), 300);
    EXPECT_GE(velreg::buildStarPattern(stars, 2000, 1500, 300, 0).chosenCount(), 300);
    // Every star on one spot: descriptors with zero offsets, no failure.
    const StarList same(30, Star{50, 50, 2000});
    const StarPattern spot = velreg::buildStarPattern(same, 100, 100, 300, 8);
    ASSERT_EQ(spot.chosenCount(), 30);
    EXPECT_EQ(spot.descriptors[0].neighbours[19].dx, 0);
}

TEST(StarPattern, PoolBuildMatchesInlineBuild)
{
    const StarList stars = randomList(3000, 6000, 4000, 9);
    const StarPattern inline_ = velreg::buildStarPattern(stars, 6000, 4000, 450, 10);
    StarPattern pooled;
    {
        velthread::ProcessPoolScope scope(3);
        pooled = velreg::buildStarPattern(stars, 6000, 4000, 450, 10);
    }
    ASSERT_EQ(inline_.chosenCount(), pooled.chosenCount());
    EXPECT_GE(pooled.chosenCount(), 450);
    for (int32_t k = 0; k < pooled.chosenCount(); ++k) {
        EXPECT_EQ(inline_.descriptors[k].star.x, pooled.descriptors[k].star.x);
        EXPECT_EQ(inline_.descriptors[k].neighbourCount, 20);
        EXPECT_EQ(inline_.descriptors[k].neighbours[19].dx, pooled.descriptors[k].neighbours[19].dx);
    }
}

TEST(StarIdentity, IdentitiesAreFreshAndIncreasing)
{
    StarPattern a = velreg::buildStarPattern(randomList(10, 100, 100, 4), 100, 100, 300, 8);
    StarPattern b = velreg::buildStarPattern(randomList(10, 100, 100, 4), 100, 100, 300, 8);
    velreg::assignStarIdentities(a);
    velreg::assignStarIdentities(b);
    for (int32_t k = 1; k < 10; ++k)
        EXPECT_EQ(a.descriptors[k].identity, a.descriptors[k - 1].identity + 1);
    EXPECT_GT(b.descriptors[0].identity, a.descriptors[9].identity);
    EXPECT_GT(a.descriptors[0].identity, 0);
}
