#include <gtest/gtest.h>

#include <memory>

#include "integration/TrailsComposition.h"

namespace {

std::unique_ptr<velimage::Image16> filled(int32_t width, int32_t height, uint16_t value)
{
    auto image = std::make_unique<velimage::Image16>();
    image->allocate(width, height, 3);
    std::fill_n(image->row(0), image->rowElements() * height, value);
    return image;
}

std::unique_ptr<velimage::AccumulationImage> compositeOf(const velimage::Image16& base)
{
    auto acc = std::make_unique<velimage::AccumulationImage>();
    acc->allocate(base.width(), base.height(), 3);
    for (int32_t y = 0; y < base.height(); ++y)
        std::copy_n(base.row(y), base.rowElements(), acc->row(y));
    return acc;
}

}  // namespace

TEST(TrailsComposition, BrighterSamplesWinAndEveryStarKeepsItsFullBrightness)
{
    auto base = filled(8, 4, 100), frame = filled(8, 4, 50);
    base->row(1)[2 * 3 + 1] = 9000;   // the star in the base frame
    frame->row(2)[6 * 3 + 0] = 7000;  // and where it moved to
    auto acc = compositeOf(*base);
    ASSERT_TRUE(velstack::composeTrailFrame(*acc, *frame, {}));
    EXPECT_EQ(acc->row(1)[2 * 3 + 1], 9000u);
    EXPECT_EQ(acc->row(2)[6 * 3 + 0], 7000u);
    EXPECT_EQ(acc->row(0)[0], 100u);

    EXPECT_FALSE(velstack::composeTrailFrame(*acc, *filled(8, 5, 60000), {}));
    EXPECT_EQ(acc->row(0)[0], 100u);
}

TEST(TrailsComposition, SkyMaskKeepsTheGroundAndScalesTheTransition)
{
    auto base = filled(4, 3, 100), frame = filled(4, 3, 1001);
    // Rows: sky, half, ground.
    std::vector<uint16_t> mask(12, 65535);
    std::fill_n(mask.begin() + 4, 4, 32768);
    std::fill_n(mask.begin() + 8, 4, 0);
    auto acc = compositeOf(*base);
    veltone::RegionWeight region;
    region.skyMask = mask.data();
    ASSERT_TRUE(velstack::composeTrailFrame(*acc, *frame, region));
    EXPECT_EQ(acc->row(0)[5], 1001u);
    EXPECT_EQ(acc->row(1)[5], 501u);  // trunc(1001 · 32768 / 65535 + 0.5)
    for (int32_t i = 0; i < 12; ++i)
        EXPECT_EQ(acc->row(2)[i], 100u);
}

TEST(TrailsComposition, MotionEffectFadesTowardTheBaseByTheFramesPosition)
{
    auto base = filled(3, 2, 0);
    auto early = filled(3, 2, 1000), late = filled(3, 2, 1000);
    ASSERT_TRUE(velstack::blendTowardBase(*early, *base, 1, 9));
    EXPECT_EQ(early->row(1)[4], 900);  // (9·1000 + 0 + 4) / 10
    ASSERT_TRUE(velstack::blendTowardBase(*late, *base, 9, 1));
    EXPECT_EQ(late->row(1)[4], 100);  // (1000 + 4) / 10

    auto white = filled(3, 2, 65535), whiteBase = filled(3, 2, 65535), black = filled(3, 2, 0);
    ASSERT_TRUE(velstack::blendTowardBase(*white, *whiteBase, 2, 1));
    EXPECT_EQ(white->row(0)[0], 65535);
    ASSERT_TRUE(velstack::blendTowardBase(*black, *base, 1, 0));  // rounding term −1 on black
    EXPECT_EQ(black->row(0)[0], 0);
    EXPECT_FALSE(velstack::blendTowardBase(*black, *filled(2, 2, 0), 1, 3));

    // Exact integer quotients for any run length, whatever the pass does to get them.
    uint32_t state = 99;
    const auto next = [&] { return static_cast<uint16_t>((state = state * 1664525u + 1013904223u) >> 16); };
    for (const auto& [done, remaining] : {std::pair{1, 1}, {2, 5}, {7, 993}, {4000, 61535}, {123456, 7890123}}) {
        auto frame = filled(64, 1, 0), first = filled(64, 1, 0);
        std::vector<uint16_t> before(192);
        for (int32_t i = 0; i < 192; ++i) {
            before[i] = frame->row(0)[i] = next();
            first->row(0)[i] = next();
        }
        ASSERT_TRUE(velstack::blendTowardBase(*frame, *first, done, remaining));
        const int64_t f = int64_t{done} + remaining;
        for (int32_t i = 0; i < 192; ++i)
            ASSERT_EQ(frame->row(0)[i], (remaining * int64_t{before[i]} + done * int64_t{first->row(0)[i]} + f / 2 - 1) / f)
                << done << "/" << remaining << " at " << i;
    }
}
