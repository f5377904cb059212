#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "registration/CandidateFloor.h"

// A gained sky that brightens from 30 to 90 left to right (noise 3), with a bright 300-pixel patch (a
// lit building) in its darker half: the floor rises with the glow, where it lies above the frame's
// own, and the patch lifts nothing around it.
TEST(CandidateFloor, FollowsTheGlowAndIgnoresABrightPatch)
{
    constexpr int32_t kWidth = 1536, kHeight = 1024;
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0, 3);
    velreg::PlaneBuffer<uint8_t> luminance;
    luminance.resize(static_cast<size_t>(kWidth) * kHeight);
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x) {
            const bool patch = x >= 512 && x < 812 && y >= 256 && y < 556;
            const double sky = 30.0 + 60.0 * x / kWidth + noise(random);
            luminance[static_cast<size_t>(y) * kWidth + x] = static_cast<uint8_t>(patch ? 250 : std::clamp(sky, 0.0, 255.0));
        }
    velreg::CandidateFloors floors;
    velreg::fillLocalSkyFloors(luminance, kWidth, kHeight, floors);
    ASSERT_EQ(floors.wordsPerRow, kWidth / 64);
    for (int32_t y = 0; y < kHeight; y += velreg::kFloorBlockRows) {
        const uint8_t* row = floors.row(y);
        const uint8_t frameFloor = row[0];  // the darkest sky keeps the frame's floor
        for (int32_t word = 8; word < 13; ++word)
            EXPECT_EQ(row[word], frameFloor) << word << ", " << y;
        // The last word's sky is about 89, some 25 levels above the frame's median: its floor is
        // that level plus the frame's spread (about 20).
        EXPECT_GT(row[kWidth / 64 - 1], frameFloor + 15) << y;
        EXPECT_LT(row[kWidth / 64 - 1], 89 + 30) << y;
    }
}
