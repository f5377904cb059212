#include <gtest/gtest.h>

#include "integration/AccumulationArithmetic.h"

using velimage::AccumulationImage;
using namespace velstack;

namespace {

// A w × h three-channel accumulation image with samples v(x, y, c) and weight 1, max weight 1.
void fill(AccumulationImage& image, int32_t w, int32_t h, uint32_t (*value)(int32_t, int32_t, int32_t))
{
    image.allocate(w, h, 3);
    clearAccumulation(image);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            for (int32_t c = 0; c < 3; ++c)
                image.row(y)[x * 3 + c] = value(x, y, c);
}

uint32_t distinct(int32_t x, int32_t y, int32_t c) { return static_cast<uint32_t>((y * 100 + x) * 4 + c) << 4; }

}  // namespace

TEST(AccumulationArithmetic, NormaliseScalesEachPixelUpToTheMaximumWeight)
{
    AccumulationImage image;
    fill(image, 4, 1, [](int32_t, int32_t, int32_t c) { return static_cast<uint32_t>(5 + c); });
    float* weights = image.weights();
    weights[0] = 0.5f;  // × 4
    weights[1] = 1.5f;  // × 4/3: 5 → 6.67 → 7, 6 → 8, 7 → 9.33 → 9
    weights[2] = 0.0f;  // no coverage: left alone
    weights[3] = 2.0f;  // already at the maximum
    image.setMaxWeight(2.0f);
    image.setNormalized(false);

    normalize(image);

    const uint32_t* p = image.data();
    EXPECT_EQ((std::vector<uint32_t>(p, p + 12)), (std::vector<uint32_t>{20, 24, 28, 7, 8, 9, 5, 6, 7, 5, 6, 7}));
    EXPECT_TRUE(image.normalized());
    EXPECT_EQ(image.maxWeight(), 1.0f);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(weights[i], 1.0f);
}

TEST(AccumulationArithmetic, NormaliseDoesNothingWhenFlaggedOrWithoutWeight)
{
    AccumulationImage image;
    fill(image, 2, 1, [](int32_t, int32_t, int32_t) { return 10u; });
    image.weights()[0] = 0.5f;
    image.setMaxWeight(2.0f);
    image.setNormalized(true);
    normalize(image);
    EXPECT_EQ(image.data()[0], 10u);
    EXPECT_EQ(image.weights()[0], 0.5f);

    image.setNormalized(false);
    image.setMaxWeight(0.0f);
    normalize(image);
    EXPECT_EQ(image.data()[0], 10u);
    EXPECT_FALSE(image.normalized());
}

TEST(AccumulationArithmetic, WorkingScaleSaturatesFromHalfOfTheRange)
{
    AccumulationImage image;
    fill(image, 2, 1, [](int32_t x, int32_t, int32_t c) {
        const uint32_t values[6] = {0, 1, 0x7FFFFF, 0x800000, 0xFFFFFFFF, 65535};
        return values[x * 3 + c];
    });
    toWorkingScale(image);
    const uint32_t* p = image.data();
    EXPECT_EQ((std::vector<uint32_t>(p, p + 6)),
              (std::vector<uint32_t>{0, 256, 0x7FFFFF00, 0x7FFFFFFF, 0x7FFFFFFF, 0xFFFF00}));
}

TEST(AccumulationArithmetic, OverExposureCountsPixelsAboveThreeTimesWhite)
{
    AccumulationImage image;
    fill(image, 3, 1, [](int32_t x, int32_t, int32_t c) {
        if (x == 0)
            return WorkingWhite;                        // exactly 3 × white: not over
        if (x == 1)
            return c == 0 ? WorkingWhite + 1 : WorkingWhite;  // one above
        return c == 0 ? 0x7FFFFFFFu : 0u;               // one saturated channel alone is enough
    });
    EXPECT_EQ(countOverExposed(image), 2u);
}

TEST(AccumulationArithmetic, OutputConversionClampsAndShifts)
{
    AccumulationImage image;
    fill(image, 2, 1, [](int32_t x, int32_t, int32_t c) {
        const uint32_t values[6] = {70000, 65535, 0x1234, 0, 255, 256};
        return values[x * 3 + c];
    });
    velimage::Image<uint16_t> out16;
    velimage::Image<uint8_t> out8;
    ASSERT_TRUE(toOutput16(image, out16));
    ASSERT_TRUE(toOutput8(image, out8));
    EXPECT_EQ((std::vector<uint16_t>(out16.data(), out16.data() + 6)),
              (std::vector<uint16_t>{65535, 65535, 0x1234, 0, 255, 256}));
    EXPECT_EQ((std::vector<uint8_t>(out8.data(), out8.data() + 6)), (std::vector<uint8_t>{255, 255, 0x12, 0, 0, 1}));
}

TEST(AccumulationArithmetic, OutputConversionNormalisesFirstAndRefusesWithoutWeight)
{
    AccumulationImage image;
    fill(image, 2, 1, [](int32_t, int32_t, int32_t) { return 100u; });
    image.weights()[1] = 0.5f;
    image.setNormalized(false);
    velimage::Image<uint16_t> out;
    ASSERT_TRUE(toOutput16(image, out));
    EXPECT_EQ(out.data()[0], 100);
    EXPECT_EQ(out.data()[3], 200);

    setWeights(image, 0.0f);
    image.setNormalized(false);
    velimage::Image<uint16_t> untouched;
    EXPECT_FALSE(toOutput16(image, untouched));
    EXPECT_TRUE(untouched.empty());
    velimage::Image<uint8_t> untouched8;
    EXPECT_FALSE(toOutput8(image, untouched8));
}

TEST(AccumulationArithmetic, OutputRotationFollowsTheOrientationCodes)
{
    const int32_t w = 3, h = 2;
    AccumulationImage image;
    fill(image, w, h, distinct);
    auto at = [](const velimage::Image<uint16_t>& img, int32_t x, int32_t y, int32_t c) {
        return img.row(y)[x * 3 + c];
    };
    auto source = [&](int32_t x, int32_t y, int32_t c) { return static_cast<uint16_t>(std::min<uint32_t>(65535, distinct(x, y, c))); };

    for (int code = 0; code <= 3; ++code) {
        velimage::Image<uint16_t> out;
        ASSERT_TRUE(toOutput16(image, out, code));
        const bool turned = code == 1 || code == 3;
        ASSERT_EQ(out.width(), turned ? h : w);
        ASSERT_EQ(out.height(), turned ? w : h);
        for (int32_t y = 0; y < out.height(); ++y)
            for (int32_t x = 0; x < out.width(); ++x)
                for (int32_t c = 0; c < 3; ++c) {
                    uint16_t expected = source(x, y, c);
                    if (code == 1)
                        expected = source(y, h - 1 - x, c);
                    else if (code == 2)
                        expected = source(w - 1 - x, h - 1 - y, c);
                    else if (code == 3)
                        expected = source(w - 1 - y, x, c);
                    EXPECT_EQ(at(out, x, y, c), expected) << "code " << code << " at " << x << "," << y;
                }
    }
    EXPECT_EQ(rotationCodeForOrientation(6), 1);
    EXPECT_EQ(rotationCodeForOrientation(3), 2);
    EXPECT_EQ(rotationCodeForOrientation(8), 3);
    EXPECT_EQ(rotationCodeForOrientation(1), 0);
    EXPECT_EQ(rotationCodeForOrientation(5), 0);
}
