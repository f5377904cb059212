#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "StarField.h"
#include "registration/StarCentre.h"

TEST(StarCentre, FindsFaintBrightAndClippedStarsToAFewHundredthsOfAPixel)
{
    // Stars at every kind of sub-pixel offset, faint to clipped, on a noisy sky.
    std::vector<regtest::TrueStar> stars;
    for (int i = 0; i < 24; ++i)
        stars.push_back({30.0 + 25.0 * (i % 8) + 0.13 * i, 30.0 + 30.0 * (i / 8) - 0.07 * i,
                         i < 8 ? 600.0 : i < 16 ? 8000.0 : 200000.0});
    velimage::Image16 frame;
    regtest::renderStars(frame, 240, 120, stars, 2000, 1.3);
    std::mt19937 random(9);
    std::normal_distribution<double> noise(0, 30);
    for (size_t k = 0; k < frame.elementCount(); ++k)
        frame.data()[k] = static_cast<uint16_t>(std::clamp(frame.data()[k] + noise(random), 0.0, 65535.0));

    for (size_t i = 0; i < stars.size(); ++i) {
        float x, y;
        ASSERT_TRUE(velreg::measureStarCentre(frame, int32_t(std::lround(stars[i].x)), int32_t(std::lround(stars[i].y)), x, y));
        // A faint star stands only 20 noise levels high; a clipped one has a flat top.
        const double tolerance = i < 8 ? 0.1 : i < 16 ? 0.03 : 0.06;
        EXPECT_NEAR(x, stars[i].x, tolerance) << i;
        EXPECT_NEAR(y, stars[i].y, tolerance) << i;
    }
    // Too close to the edge for its window: not measured, and the whole pixel stands.
    float x, y;
    EXPECT_FALSE(velreg::measureStarCentre(frame, 3, 60, x, y));
    EXPECT_EQ(x, 3.0f);
    EXPECT_EQ(y, 60.0f);
}
