#include <gtest/gtest.h>

#include <cmath>

#include "StarField.h"
#include "registration/DetectionGain.h"
#include "registration/StarDetector.h"
#include "registration/StarShape.h"

TEST(StarShape, PointsOnATrailGoAndStarsStay)
{
    velimage::Image16 frame;
    regtest::renderStars(frame, 400, 200, {{100.3, 60.6, 20000}, {300.8, 150.2, 60000}, {250, 30, 200000}}, 3000, 1.3);
    // A satellite's trail across the frame.
    for (int32_t x = 0; x < 400; ++x)
        for (int32_t y = 100; y < 130; ++y) {
            const double d = y - (110 + 0.05 * x);
            uint16_t* p = frame.row(y) + 3 * x;
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<uint16_t>(std::min(65535.0, p[c] + 20000 * std::exp(-d * d / 2.9)));
        }
    velreg::StarList stars = {{100, 61, 1}, {301, 150, 1}, {250, 30, 1}, {40, 112, 1}, {200, 120, 1}, {360, 128, 1}};
    velreg::dropStreakPoints(frame, stars);
    ASSERT_EQ(stars.size(), 3u);
    EXPECT_EQ(stars[0].x, 100);
    EXPECT_EQ(stars[1].x, 301);
    EXPECT_EQ(stars[2].x, 250);
}

TEST(DetectionGain, DarkLinearFramesShowTheirFaintStarsAndBrightOnesStayAsTheyAre)
{
    // A linear night sky: background at 1 % of full scale, stars a few times brighter.
    const auto sky = regtest::randomStars(120, 20, 20, 780, 580, 20, 4, 500, 3000);
    velimage::Image16 dark, bright;
    regtest::renderStars(dark, 800, 600, sky, 650, 1.3);
    regtest::renderStars(bright, 800, 600, {}, 20000, 1.3);
    EXPECT_EQ(velreg::detectionGain16(bright), velreg::kUnitGain16);
    const uint32_t gain = velreg::detectionGain16(dark);
    EXPECT_GT(gain, 8 * velreg::kUnitGain16);

    velreg::StarList plain, lifted;
    velreg::detectStars(dark, plain, nullptr, nullptr, 0);
    velreg::detectStars(dark, lifted, nullptr, nullptr, 0, gain);
    EXPECT_LT(plain.size(), 30u);
    EXPECT_GT(lifted.size(), 2 * plain.size() + 20);
}
