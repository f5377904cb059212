#include <gtest/gtest.h>

#include "corrections/SoftSkyMask.h"

TEST(SoftSkyMask, ClearsSkyNearTheGroundAndRisesSmoothlyAboveIt)
{
    // Sky above row 60, ground below.
    velimage::Image16 mask;
    mask.allocate(200, 120, 1);
    for (int32_t y = 0; y < 120; ++y)
        for (int32_t x = 0; x < 200; ++x)
            mask.row(y)[x] = y < 60 ? 65535 : 0;
    velimage::Image16 soft;
    ASSERT_TRUE(veltone::makeSoftSkyMask(mask, 20, 1, soft));  // R = 6
    ASSERT_EQ(soft.width(), 200);
    ASSERT_EQ(soft.height(), 120);
    EXPECT_GT(soft.row(5)[100], 60000);
    EXPECT_EQ(soft.row(90)[100], 0);
    // Cleared within R of the horizon, then a ramp that never falls going up.
    EXPECT_LT(soft.row(57)[100], soft.row(40)[100]);
    for (int32_t y = 59; y > 10; --y)
        EXPECT_LE(soft.row(y)[100], soft.row(y - 1)[100]) << y;
}

TEST(SoftSkyMask, RefusesWhatIsNotAOnePlaneMask)
{
    velimage::Image16 rgb, soft;
    rgb.allocate(10, 10, 3);
    EXPECT_FALSE(veltone::makeSoftSkyMask(rgb, 60, 1, soft));
    velimage::Image16 empty;
    EXPECT_FALSE(veltone::makeSoftSkyMask(empty, 60, 1, soft));
    velimage::Image16 plane;
    plane.allocate(10, 10, 1);
    EXPECT_FALSE(veltone::makeSoftSkyMask(plane, 0, 1, soft));
    EXPECT_TRUE(soft.empty());
}
