#include <gtest/gtest.h>

#include <random>

#include "integration/FrameTransform.h"
#include "registration/StarPattern.h"

using namespace velstack;

namespace {

// A star field and the same field seen by a frame displaced by (dx, dy): a reference pixel q
// shows what the frame has at q + (dx, dy).
void makePatterns(int32_t dx, int32_t dy, velreg::StarPattern& frame, velreg::StarPattern& reference)
{
    std::mt19937 random(42);
    velreg::StarList referenceStars, frameStars;
    for (int i = 0; i < 120; ++i) {
        velreg::Star star;
        star.x = static_cast<int16_t>(100 + random() % 1800);
        star.y = static_cast<int16_t>(100 + random() % 1300);
        star.brightness = static_cast<int32_t>(2000 + random() % 5000);
        referenceStars.push_back(star);
        star.x = static_cast<int16_t>(star.x + dx);
        star.y = static_cast<int16_t>(star.y + dy);
        frameStars.push_back(star);
    }
    reference = velreg::buildStarPattern(referenceStars, 2000, 1500, velreg::kPatternStars, velreg::kPatternGrid);
    frame = velreg::buildStarPattern(frameStars, 2000, 1500, velreg::kGridPatternStars, velreg::kGridPatternGrid);
}

}  // namespace

TEST(FrameTransform, EveryDistortionModeRecoversAShift)
{
    velreg::StarPattern frame, reference;
    makePatterns(7, -4, frame, reference);
    for (int32_t mode = 0; mode <= 2; ++mode) {
        FrameTransform transform;
        ASSERT_TRUE(transform.obtain(mode, &frame, reference, 2000, 1500)) << "mode " << mode;
        ASSERT_TRUE(transform.model().usable());
        EXPECT_EQ(transform.model().mode, mode);
        float sx, sy;
        mapToSource(transform.model(), 500.0f, 600.0f, sx, sy);
        EXPECT_NEAR(sx, 507.0f, 0.01f) << "mode " << mode;
        EXPECT_NEAR(sy, 596.0f, 0.01f) << "mode " << mode;
    }
}

TEST(FrameTransform, FailsWithoutPatternOrForUnknownModes)
{
    velreg::StarPattern frame, reference;
    makePatterns(3, 3, frame, reference);
    FrameTransform transform;
    EXPECT_FALSE(transform.obtain(0, nullptr, reference, 2000, 1500));
    EXPECT_FALSE(transform.model().usable());
    EXPECT_FALSE(transform.obtain(3, &frame, reference, 2000, 1500));
    EXPECT_FALSE(transform.model().usable());
    velreg::StarPattern empty;
    EXPECT_FALSE(transform.obtain(1, &empty, reference, 2000, 1500));
    EXPECT_FALSE(transform.model().usable());
}
