#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "corrections/BrightnessAdjuster.h"
#include "corrections/DynamicRange.h"
#include "corrections/FinalToneConversion.h"
#include "corrections/MergePixels.h"
#include "corrections/StarLightEnhancer.h"
#include "integration/AccumulationArithmetic.h"
#include "parallel/ProcessPool.h"

using velimage::AccumulationImage;
using namespace veltone;

namespace {

void uniform(AccumulationImage& image, int32_t w, int32_t h, uint32_t value)
{
    image.allocate(w, h, 3);
    velstack::clearAccumulation(image);
    std::fill_n(image.data(), image.elementCount(), value);
    image.setNormalized(true);
}

void randomFill(AccumulationImage& image, int32_t w, int32_t h, uint32_t maximum, uint32_t seed)
{
    uniform(image, w, h, 0);
    std::mt19937 random(seed);
    for (size_t i = 0; i < image.elementCount(); ++i)
        image.data()[i] = random() % (maximum + 1);
}

void setPixel(AccumulationImage& image, int32_t x, int32_t y, uint32_t value)
{
    std::fill_n(image.row(y) + x * 3, 3, value);
}

uint32_t pixel(const AccumulationImage& image, int32_t x, int32_t y, int32_t c = 0) { return image.row(y)[x * 3 + c]; }

std::vector<uint32_t> samples(const AccumulationImage& image)
{
    return std::vector<uint32_t>(image.data(), image.data() + image.elementCount());
}

}  // namespace

TEST(MergePixels, SumsBlocksAndDropsTheOddEdge)
{
    AccumulationImage image;
    randomFill(image, 101, 75, 60000, 1);
    image.setMaxWeight(3.0f);
    const std::vector<uint32_t> before = samples(image);
    ToneState state;
    state.frameCount = 3;
    ASSERT_TRUE(mergePixels(image, state));
    ASSERT_EQ(image.width(), 50);
    ASSERT_EQ(image.height(), 37);
    for (int32_t y = 0; y < 37; ++y)
        for (int32_t x = 0; x < 50; ++x)
            for (int32_t c = 0; c < 3; ++c) {
                auto at = [&](int32_t xx, int32_t yy) { return before[(static_cast<size_t>(yy) * 101 + xx) * 3 + c]; };
                ASSERT_EQ(pixel(image, x, y, c), at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) +
                                                     at(2 * x + 1, 2 * y + 1));
            }
    EXPECT_EQ(image.weights()[50 * 37 - 1], 12.0f);
    EXPECT_EQ(image.maxWeight(), 12.0f);
    EXPECT_EQ(state.frameCount, 12);
    EXPECT_EQ(state.exposureFactor, 4.0f);
}

TEST(MergePixels, NormalisesFirstSaturatesAndRefusesTinyImages)
{
    AccumulationImage image;
    uniform(image, 2, 2, 100);
    image.setNormalized(false);
    image.weights()[0] = 0.5f;  // max 1: doubled before merging
    image.row(1)[3] = 0xFFFFFFF0u;
    ToneState state;
    ASSERT_TRUE(mergePixels(image, state));
    EXPECT_EQ(pixel(image, 0, 0, 0), 0xFFFFFFFFu);  // saturated rather than wrapped
    EXPECT_EQ(pixel(image, 0, 0, 1), 500u);         // 200 + 3 × 100

    AccumulationImage line;
    uniform(line, 1, 9, 5);
    EXPECT_FALSE(mergePixels(line, state));
    EXPECT_EQ(line.width(), 1);
}

TEST(StarLightEnhancer, GainFollowsTheRatioToTheSurroundings)
{
    // 200 px wide: outer radius 2, no inner radius. Box 5 × 5 about the centre pixel.
    AccumulationImage image;
    uniform(image, 200, 40, 4700);
    setPixel(image, 100, 20, 7200);  // mean (24·4700 + 7200) / 25 = 4800: ratio 1.5
    setPixel(image, 50, 20, 5040);   // mean 4800 with 4790 around it: exactly 1.05
    for (int32_t y = 18; y <= 22; ++y)
        for (int32_t x = 48; x <= 52; ++x)
            if (x != 50 || y != 20)
                setPixel(image, x, y, 4790);
    enhanceStarLight(image, 1.2f, {});
    EXPECT_EQ(pixel(image, 100, 20), 7632u);  // × ((1.5 − 1.05)·0.2 / 1.5 + 1) = × 1.06
    EXPECT_EQ(pixel(image, 50, 20), 5040u);
    EXPECT_EQ(pixel(image, 99, 20), 4700u);
    EXPECT_EQ(pixel(image, 199, 39), 4700u);
}

TEST(StarLightEnhancer, RegionWeightScalesTheStrength)
{
    AccumulationImage image;
    uniform(image, 200, 40, 4700);
    setPixel(image, 100, 20, 7200);
    setPixel(image, 150, 20, 7200);
    std::vector<uint16_t> mask(200 * 40, 65535);
    mask[20 * 200 + 100] = 0;  // ground: never enhanced
    RegionWeight region;
    region.skyMask = mask.data();
    enhanceStarLight(image, 1.2f, region);
    EXPECT_EQ(pixel(image, 100, 20), 7200u);
    EXPECT_EQ(pixel(image, 150, 20), 7632u);

    // A gradient narrower than one pixel counts as no region; factors below 1 do nothing.
    AccumulationImage plain;
    uniform(plain, 200, 40, 4700);
    setPixel(plain, 100, 20, 7200);
    const velstack::GradientRamp thin(0, 0, 0, 1, 0.5f);
    region = {};
    region.ramp = &thin;
    enhanceStarLight(plain, 0.5f, region);
    EXPECT_EQ(pixel(plain, 100, 20), 7200u);
    enhanceStarLight(plain, 1.2f, region);
    EXPECT_EQ(pixel(plain, 100, 20), 7632u);
}

TEST(DynamicRange, FullScaleImageIsLeftUnchanged)
{
    AccumulationImage image;
    randomFill(image, 64, 48, velstack::WorkingWhite, 2);
    image.data()[17] = velstack::WorkingWhite;
    const std::vector<uint32_t> before = samples(image);
    ToneState state;
    state.workingScale = true;
    adjustDynamicRange(image, state, false);
    EXPECT_EQ(samples(image), before);
    EXPECT_EQ(state.exposureFactor, 1.0f);
}

TEST(DynamicRange, StretchesToWhiteWithinTheFrameLimit)
{
    AccumulationImage image;
    uniform(image, 4, 4, 10);
    image.data()[0] = 1000;
    ToneState state;
    state.frameCount = 2;
    adjustDynamicRange(image, state, false);
    // gain min(4 × 256, 16777215 / 1000) = 1024, folding in the working scale
    EXPECT_EQ(image.data()[0], 1024000u);
    EXPECT_EQ(image.data()[1], 10240u);
    EXPECT_TRUE(state.workingScale);
    EXPECT_EQ(state.exposureFactor, 1024.0f);
}

TEST(Brightness, QuantilesAreExactAcrossBothHistogramLevels)
{
    AccumulationImage image;
    uniform(image, 1000, 1, 0);
    for (int32_t x = 0; x < 1000; ++x)
        setPixel(image, 999 - x, 0, static_cast<uint32_t>(x) * 70001u);
    EXPECT_EQ(luminanceQuantile(image, 0.5), 500u * 70001u);
    EXPECT_EQ(luminanceQuantile(image, 0.995), 995u * 70001u);
    EXPECT_EQ(luminanceQuantile(image, 1.0), 999u * 70001u);
    EXPECT_EQ(luminanceQuantile(image, 0.0), 0u);
}

TEST(Brightness, GainIsCappedByTheFrameCountAndTheHighlights)
{
    AccumulationImage image;
    uniform(image, 10, 10, 1000);
    ToneState state;
    adjustBrightness(image, state, {});
    // median target 0.1·white/1000 = 1677.7, limit max(3, 2)·256 = 768
    EXPECT_EQ(image.data()[0], 768000u);
    EXPECT_TRUE(state.workingScale);
    EXPECT_EQ(state.exposureFactor, 768.0f);

    AccumulationImage bright;
    uniform(bright, 10, 10, 100000);
    ToneState working;
    working.workingScale = true;
    working.frameCount = 1000;  // above 511: first divided by 1000 / 256 = 3, rounded
    adjustBrightness(bright, working, {});
    // 33333 after the division; gain min(0.1·white / 33333 = 50.33, 2000) → 1677721.5 → 1677722
    EXPECT_EQ(bright.data()[0], 1677722u);
}

TEST(Brightness, OverExposureRuleNeedsMoreThanOnePixelInEight)
{
    AccumulationImage image;
    uniform(image, 8, 1, 1000);
    image.data()[0] = 0x7FFFFFFF;  // 1000 → working scale 256000; this one saturated
    ToneState state;
    EXPECT_FALSE(applyOverExposureRule(image, state, false));
    EXPECT_TRUE(state.workingScale);
    EXPECT_EQ(image.data()[3], 256000u);

    image.data()[3] = 0x7FFFFFFF;
    EXPECT_TRUE(applyOverExposureRule(image, state, false));
    EXPECT_LE(image.data()[3], velstack::WorkingWhite + 1);
}

TEST(FinalToneConversion, LinearRoundsToTheNearestSixteenBitValue)
{
    AccumulationImage image;
    uniform(image, 2, 1, 0);
    const uint32_t values[6] = {127, 128, 383, 384, velstack::WorkingWhite, 0x7FFFFFFF};
    std::copy(values, values + 6, image.data());
    ToneState state;
    state.workingScale = true;
    velimage::MetadataList metadata;
    metadata.setShort(velimage::tags::ColorSpace, 1);
    finalToneConversion(image, state, 2, metadata);
    EXPECT_EQ(samples(image), (std::vector<uint32_t>{0, 1, 1, 2, 65536, 8388608}));
    EXPECT_FALSE(state.workingScale);
    uint16_t tag = 0;
    ASSERT_TRUE(metadata.findShort(velimage::tags::ColorSpace, tag));
    EXPECT_EQ(tag, 65535);
    EXPECT_EQ(metadata.size(), 1u);

    velimage::Image<uint16_t> out;
    ASSERT_TRUE(velstack::toOutput16(image, out));
    EXPECT_EQ(out.data()[4], 65535);  // white stays white after clamping
}

TEST(FinalToneConversion, CurvesAndTagsFollowTheColourSpace)
{
    for (int space : {0, 1, 7}) {
        AccumulationImage image;
        uniform(image, 3, 1, 0);
        image.data()[3] = 0x7FFFFF;  // mid grey
        image.data()[6] = 64;        // deep shadow: sRGB's linear toe
        ToneState state;
        state.workingScale = true;
        velimage::MetadataList metadata;
        finalToneConversion(image, state, space, metadata);
        uint16_t tag = 0;
        ASSERT_TRUE(metadata.findShort(velimage::tags::ColorSpace, tag));
        EXPECT_EQ(tag, space == 1 ? 2 : 1);
        EXPECT_EQ(image.data()[0], 0u);
        if (space == 1) {
            EXPECT_NEAR(image.data()[3], 65535.0 * std::pow(0.5, 1 / 2.199219), 1.0);
        } else {
            EXPECT_NEAR(image.data()[3], 65535.0 * (1.055 * std::pow(0.5, 1 / 2.4) - 0.055), 1.0);
            EXPECT_EQ(image.data()[6], 3u);  // 64 × 12.92 = 826.9 → 827 → (827 + 128) >> 8
        }
    }
}

TEST(ToneStages, LinearRoundTripReproducesTheFrame)
{
    velimage::Image<uint16_t> frame;
    frame.allocate(37, 23, 3);
    std::mt19937 random(3);
    for (size_t i = 0; i < frame.elementCount(); ++i)
        frame.data()[i] = static_cast<uint16_t>(random());
    frame.data()[0] = 65535;
    frame.data()[1] = 0;

    AccumulationImage image;
    velstack::startFromBase(image, frame);
    ToneState state;
    ensureWorkingScale(image, state);
    velimage::MetadataList metadata;
    finalToneConversion(image, state, 2, metadata);
    velimage::Image<uint16_t> out;
    ASSERT_TRUE(velstack::toOutput16(image, out));
    EXPECT_EQ(std::vector<uint16_t>(out.data(), out.data() + out.elementCount()),
              std::vector<uint16_t>(frame.data(), frame.data() + frame.elementCount()));
}

TEST(ToneStages, ResultsDoNotDependOnTheThreadCount)
{
    auto runAll = [](int32_t threads) {
        velthread::ProcessPoolScope scope(threads);
        AccumulationImage image;
        randomFill(image, 301, 157, 3 * 65535, 4);
        image.weights()[5] = 0.5f;
        image.setMaxWeight(3.0f);
        image.setNormalized(false);
        ToneState state;
        state.frameCount = 3;
        mergePixels(image, state);
        enhanceStarLight(image, 2.2f, {});
        adjustBrightness(image, state, {});
        adjustDynamicRange(image, state, true);
        velimage::MetadataList metadata;
        finalToneConversion(image, state, 0, metadata);
        return samples(image);
    };
    const auto single = runAll(1);
    EXPECT_EQ(single, runAll(3));
}
