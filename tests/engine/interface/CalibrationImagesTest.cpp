#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "DecodeCalibration.h"
#include "NoiseImage.h"
#include "SkyGenerator.h"
#include "VignettingImage.h"
#include "corrections/FlatField.h"
#include "corrections/HotPixelRemoval.h"
#include "parallel/ProcessPool.h"
#include "registration/DetectionGain.h"
#include "registration/StarDetector.h"
#include "skymask/HorizonRefinement.h"

using velimage::Image16;
using velrun::NoiseImage;
using velrun::VignettingImage;

namespace {

std::unique_ptr<Image16> uniform(int32_t w, int32_t h, uint16_t value, int32_t channels = 3)
{
    auto image = std::make_unique<Image16>();
    image->allocate(w, h, channels);
    std::fill_n(image->data(), image->elementCount(), value);
    return image;
}

void copyInto(const velsky::RgbImage16& from, Image16& to)
{
    to.allocate(from.width, from.height, 3);
    std::copy(from.samples.begin(), from.samples.end(), to.data());
}

uint16_t at(const Image16& image, int32_t x, int32_t y, int32_t c = 0) { return image.row(y)[3 * x + c]; }

std::unique_ptr<NoiseImage> noiseFrom(int32_t frames, const Image16& dark)
{
    auto noise = std::make_unique<NoiseImage>();
    for (int32_t i = 0; i < frames; ++i)
        EXPECT_TRUE(noise->add(dark));
    EXPECT_TRUE(noise->analyze());
    return noise;
}

}  // namespace

TEST(NoiseImage, OneOrTwoFramesSpareLowDarkLevelsAndMoreFramesSubtractThem)
{
    struct Case {
        int32_t frames;
        uint16_t dark, expected;
    } cases[] = {{2, 1000, 1200}, {3, 1000, 200}, {1, 1800, 0}, {2, 100, 1200}};
    for (const Case& c : cases) {
        const auto noise = noiseFrom(c.frames, *uniform(12, 10, c.dark));
        const auto frame = uniform(12, 10, 1200);
        ASSERT_TRUE(noise->subtract(*frame));
        EXPECT_EQ(at(*frame, 5, 5), c.expected) << c.frames << " frames of " << c.dark;
    }
}

TEST(NoiseImage, ThresholdIsTheTopQuantileAboveOneAndAtMost8192)
{
    const auto dark = uniform(100, 100, 500);
    dark->row(50)[150] = 700;
    EXPECT_EQ(velrun::noiseThreshold(*dark), 701u);
    EXPECT_EQ(velrun::noiseThreshold(*uniform(100, 100, 20000)), 8192u);
}

TEST(NoiseImage, OfAClusterOnlyTheBrightestSampleStaysHot)
{
    const auto owned = uniform(8, 8, 100);
    Image16& dark = *owned;
    dark.row(3)[3 * 3] = 9000;
    dark.row(3)[3 * 4] = 9500;
    dark.row(4)[3 * 3] = 9600;
    dark.row(4)[3 * 4] = 12000;
    dark.row(4)[3 * 4 + 1] = 9000;  // another channel is judged on its own
    velrun::suppressNoiseNeighbors(dark, 8192);
    EXPECT_EQ(at(dark, 3, 3), 8192);
    EXPECT_EQ(at(dark, 4, 3), 8192);
    EXPECT_EQ(at(dark, 3, 4), 8192);
    EXPECT_EQ(at(dark, 4, 4), 12000);
    EXPECT_EQ(at(dark, 4, 4, 1), 9000);
}

TEST(NoiseImage, HotAndFewDeadPixelsAreReplacedBySurfaceOfTheirSurroundings)
{
    // Lights: a plane over the dark level 300; a hot pixel in the dark and the lights, a pixel
    // dead in both.
    const auto plane = [](int32_t x, int32_t y) { return static_cast<uint16_t>(1000 + 10 * x + 5 * y); };
    for (int32_t deadInDark : {1, 250}) {
        const auto darkImage = uniform(40, 30, 300), lightImage = uniform(40, 30, 0);
        Image16 &dark = *darkImage, &light = *lightImage;
        for (int32_t y = 0; y < 30; ++y)
            for (int32_t x = 0; x < 40; ++x)
                for (int32_t c = 0; c < 3; ++c)
                    light.row(y)[3 * x + c] = static_cast<uint16_t>(plane(x, y) + 300);
        dark.row(10)[3 * 10] = 20000;
        light.row(10)[3 * 10] = 21000;
        dark.row(20)[3 * 30 + 1] = 0;
        for (int32_t k = 1; k < deadInDark; ++k)  // the others in rows 22 and below
            dark.row(22 + (k - 1) / 40)[3 * ((k - 1) % 40) + 1] = 0;
        light.row(20)[3 * 30 + 1] = 0;
        const auto noise = noiseFrom(3, dark);
        ASSERT_TRUE(noise->subtract(light));
        for (int32_t y = 8; y <= 12; ++y)
            for (int32_t x = 8; x <= 12; ++x)
                for (int32_t c = 0; c < 3; ++c)
                    EXPECT_NEAR(at(light, x, y, c), plane(x, y), 1) << x << "," << y << " channel " << c;
        // Many zeros in the dark are a dark level of 0, not dead pixels.
        EXPECT_EQ(at(light, 30, 20, 1), deadInDark < 200 ? plane(30, 20) : 0) << deadInDark;
    }
}

TEST(VignettingImage, GainIsTheMeanOverTheGreyLevelClampedAtAThirtySecond)
{
    Image16 flat;
    flat.allocate(8, 4, 3);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 8; ++x) {
            uint16_t* p = flat.row(y) + 3 * x;
            const bool dim = x >= 4;
            p[0] = dim ? 1000 : 2000, p[1] = dim ? 1500 : 3000, p[2] = dim ? 2000 : 4000;  // grey 1500 or 3000
        }
    flat.row(3)[3 * 7] = flat.row(3)[3 * 7 + 1] = flat.row(3)[3 * 7 + 2] = 10;
    VignettingImage vignetting;
    ASSERT_TRUE(vignetting.add(flat));
    ASSERT_TRUE(vignetting.add(flat));
    ASSERT_TRUE(vignetting.analyze(false));
    // Sums 6000 and 3000 (and one of 20): M = (16·6000 + 15·3000 + 20) / 32 = 4406.
    const veltone::GainMap& gains = vignetting.gains();
    EXPECT_EQ(gains.row(0)[0], 4406u * 65536 / 6000);
    EXPECT_EQ(gains.row(0)[5], 4406u * 65536 / 3000);
    EXPECT_EQ(gains.row(3)[7], 4406u * 65536 / (4406 / 32));
}

TEST(VignettingImage, HomogenizedGainsAreSymmetricalAndSmooth)
{
    velsky::SkyOptions o;
    o.width = 160;
    o.height = 100;
    o.frames = 1;
    o.threads = 1;
    const velsky::SkyGenerator generator(o);
    Image16 flat;
    copyInto(generator.renderFlat(0), flat);
    flat.row(30)[3 * 40] = flat.row(30)[3 * 40 + 1] = 60000;  // dust-free flats are rare
    VignettingImage vignetting;
    ASSERT_TRUE(vignetting.add(flat));
    ASSERT_TRUE(vignetting.analyze(true));
    const veltone::GainMap& g = vignetting.gains();
    for (int32_t y = 0; y < 100; ++y)
        for (int32_t x = 0; x < 160; ++x) {
            ASSERT_EQ(g.row(y)[x], g.row(y)[159 - x]);
            ASSERT_EQ(g.row(y)[x], g.row(99 - y)[x]);
        }
    EXPECT_NEAR(g.row(30)[40], g.row(30)[44], 400);  // the bright speck is smoothed away
    // The corners lose about the generator's 35 %.
    EXPECT_NEAR(65536.0 * g.row(50)[80] / g.row(0)[0], 0.65 * 65536.0, 0.05 * 65536.0);
}

TEST(VignettingImage, MapTurnsToFaceEachFrameAndBackWithoutLosingAGain)
{
    // Odd sizes, so that whole blocks of the turn and the rows and columns left over all take part.
    const int32_t width = 37, height = 23;
    Image16 flat;
    flat.allocate(width, height, 3);
    for (size_t i = 0; i < flat.elementCount(); ++i)
        flat.data()[i] = static_cast<uint16_t>(1000 + (i * 7919) % 5000);
    VignettingImage vignetting;
    ASSERT_TRUE(vignetting.add(flat));
    ASSERT_TRUE(vignetting.analyze(false));
    const std::vector<uint32_t> upright(vignetting.gains().data(), vignetting.gains().data() + width * height);

    const veltone::GainMap& turned = vignetting.gainsFacing(height, width);
    ASSERT_EQ(turned.width(), height);
    ASSERT_EQ(turned.height(), width);
    int32_t wrong = 0;
    for (int32_t y = 0; y < width; ++y)
        for (int32_t x = 0; x < height; ++x)
            wrong += turned.row(y)[x] != upright[static_cast<size_t>(x) * width + y];
    EXPECT_EQ(wrong, 0);

    const veltone::GainMap& back = vignetting.gainsFacing(width, height);
    ASSERT_EQ(back.width(), width);
    EXPECT_EQ(std::vector<uint32_t>(back.data(), back.data() + width * height), upright);
    EXPECT_EQ(&vignetting.gainsFacing(width + 1, height), &back);  // fits neither way: left as it is
}

TEST(Calibration, NoiseVignettingAndHotPixelPassesGiveTheSameFrameForAnyThreadCount)
{
    velsky::SkyOptions o;
    o.width = 230;
    o.height = 131;
    o.frames = 1;
    o.threads = 1;
    o.hotPixelsPerMegapixel = 20000;  // many side by side, some on the seams of the bands
    o.colouredHotPixels = true;
    const velsky::SkyGenerator generator(o);
    std::vector<std::vector<uint16_t>> results;
    for (int32_t threads : {1, 3}) {
        velthread::ProcessPoolScope pool(threads);
        NoiseImage noise;
        VignettingImage vignetting;
        Image16 image;
        for (int32_t i = 0; i < 3; ++i) {
            copyInto(generator.renderDark(i), image);
            ASSERT_TRUE(noise.add(image));
            copyInto(generator.renderFlat(i), image);
            ASSERT_TRUE(vignetting.add(image));
        }
        ASSERT_TRUE(noise.analyze());
        ASSERT_TRUE(vignetting.analyze(true));
        copyInto(generator.renderFrame(0), image);
        ASSERT_TRUE(noise.subtract(image));
        veltone::removeHotPixels(image);
        ASSERT_TRUE(veltone::applyFlatField(image, vignetting.gains()));
        results.emplace_back(image.data(), image.data() + image.elementCount());
        results.emplace_back(noise.image().data(), noise.image().data() + noise.image().elementCount());
    }
    EXPECT_EQ(results[2], results[0]);
    EXPECT_EQ(results[3], results[1]);
}

// The row work of the loader must leave every sample and the detection luminance exactly as the
// stages leave them one after another on the stored frame, however the reader hands the rows over.
TEST(Calibration, RowsCalibratedWhileDecodedEqualTheStagesOneAfterAnother)
{
    // Wider than the pieces in which the flat field and the luminance take a row.
    velsky::SkyOptions o;
    o.width = 1100;
    o.height = 75;
    o.frames = 1;
    o.threads = 1;
    o.hotPixelsPerMegapixel = 20000;  // patches side by side, so every step's delay is needed
    o.colouredHotPixels = true;
    const velsky::SkyGenerator generator(o);
    velthread::ProcessPoolScope pool(3);
    auto noise = std::make_shared<NoiseImage>();
    auto vignetting = std::make_shared<VignettingImage>();
    Image16 raw, expected, image;
    for (int32_t i = 0; i < 2; ++i) {
        copyInto(generator.renderDark(i), raw);
        ASSERT_TRUE(noise->add(raw));
        copyInto(generator.renderFlat(i), raw);
        ASSERT_TRUE(vignetting->add(raw));
    }
    ASSERT_TRUE(noise->analyze());
    ASSERT_TRUE(vignetting->analyze(false));
    copyInto(generator.renderFrame(0), raw);

    auto compact = std::make_shared<veltone::CompactGains>();
    ASSERT_TRUE(veltone::makeCompactGains(vignetting->gains(), *compact));
    struct Case {
        bool noise, hotPixels, flatField;
        int32_t step;
        bool compactGains;
    } cases[] = {{true, true, true, 1, false}, {true, true, true, 7, true}, {false, true, true, 3, true},
                 {true, false, true, 5, false}, {true, true, false, 131, false}};
    for (const Case& c : cases) {
        copyInto(generator.renderFrame(0), expected);
        if (c.noise) {
            ASSERT_TRUE(noise->subtract(expected));
        }
        if (c.hotPixels)
            veltone::removeHotPixels(expected);
        if (c.flatField) {
            ASSERT_TRUE(veltone::applyFlatField(expected, vignetting->gains()));
        }
        const uint32_t gain = velreg::detectionGain16(expected);
        velreg::StarList expectedStars;
        velreg::detectStars(expected, expectedStars, nullptr, nullptr, 0, gain);

        for (const uint32_t expectedGain : {gain, gain + 1}) {
            auto plan = std::make_shared<velrun::DecodeCalibrationPlan>();
            if (c.noise)
                plan->noise = noise;
            plan->hotPixels = c.hotPixels;
            if (c.flatField)
                plan->gains = std::shared_ptr<const veltone::GainMap>(vignetting, &vignetting->gains());
            if (c.compactGains)
                plan->compactGains = compact;
            plan->luminance = true;
            plan->expectedGain16 = expectedGain;
            velrun::RowCalibration rows(plan, velrun::SkyPlanes::WithFiner);
            copyInto(generator.renderFrame(0), image);
            rows.begin(image);
            for (int32_t end = c.step; end < image.height(); end += c.step)
                rows.rowsDecoded(end);
            rows.finish();
            EXPECT_EQ(std::vector<uint16_t>(image.data(), image.data() + image.elementCount()),
                      std::vector<uint16_t>(expected.data(), expected.data() + expected.elementCount()))
                << c.noise << c.hotPixels << c.flatField << c.compactGains << " step " << c.step;
            EXPECT_EQ(rows.noiseSubtracted(), c.noise);
            EXPECT_EQ(rows.flatFielded(), c.flatField);
            EXPECT_EQ(rows.gain16(), gain);
            // The sky-mask planes are those of the calibrated frame, the base frame's finer one too.
            const int32_t factor = velmask::reductionFactor(image.width(), image.height());
            EXPECT_EQ(rows.takeSkyPlane().values, velmask::reduceLuminance(expected, factor).values);
            const velmask::LuminancePlane fine = rows.takeFinePlane();
            EXPECT_FALSE(fine.empty());
            EXPECT_EQ(fine.values, velmask::fineLuminance(expected, factor).values);
            // Made at another gain, the luminance is not offered.
            ASSERT_EQ(rows.luminance() != nullptr, expectedGain == gain);
            if (!rows.luminance())
                continue;
            velreg::StarList stars;
            velreg::detectStars(image, stars, nullptr, nullptr, 0, gain, rows.luminance());
            ASSERT_EQ(stars.size(), expectedStars.size());
            for (size_t k = 0; k < stars.size(); ++k)
                EXPECT_TRUE(stars[k].x == expectedStars[k].x && stars[k].y == expectedStars[k].y &&
                            stars[k].brightness == expectedStars[k].brightness);
            EXPECT_NE(rows.luminance(), nullptr);  // handed back after the detection
        }
    }
}

// Rows handed over one at a time: a hot pixel must be judged on the frame after every noise patch and
// before any hot-pixel patch, even where a patch of either kind lands a row or two away.
TEST(Calibration, WhileDecodedEachHotPixelIsJudgedAfterTheNoisePatchesAndBeforeTheHotPixelPatches)
{
    // Wide enough that a row with one spike is judged pixel by pixel on the frame itself.
    velthread::ProcessPoolScope pool(1);
    auto noise = std::make_shared<NoiseImage>();
    const auto dark = uniform(600, 120, 100);
    dark->row(33)[3 * 20] = 9000;  // its patch lowers the neighbour that hides the spike at (18, 30)
    for (int32_t i = 0; i < 3; ++i)
        ASSERT_TRUE(noise->add(*dark));
    ASSERT_TRUE(noise->analyze());

    const auto raw = uniform(600, 120, 300);
    const auto set = [&](int32_t x, int32_t y, uint16_t r, uint16_t g, uint16_t b) {
        uint16_t* p = raw->row(y) + 3 * x;
        p[0] = r, p[1] = g, p[2] = b;
    };
    set(20, 10, 20100, 200, 200);  // hot; its patch would lower the neighbour that hides (18, 13)
    set(20, 11, 3100, 3100, 3100);
    set(18, 13, 10100, 200, 200);
    set(20, 32, 3100, 3100, 3100);
    set(18, 30, 10100, 200, 200);

    Image16 expected;
    expected.allocate(600, 120, 3);
    std::copy_n(raw->data(), raw->elementCount(), expected.data());
    ASSERT_TRUE(noise->subtract(expected));
    veltone::removeHotPixels(expected);
    EXPECT_EQ(at(expected, 18, 13), 10000);  // hidden by its neighbour when judged
    EXPECT_LT(at(expected, 18, 30), 1000);   // the noise patch came first

    auto plan = std::make_shared<velrun::DecodeCalibrationPlan>();
    plan->noise = noise;
    plan->hotPixels = true;
    velrun::RowCalibration rows(plan);
    Image16 image;
    image.allocate(600, 120, 3);
    std::copy_n(raw->data(), raw->elementCount(), image.data());
    rows.begin(image);
    for (int32_t end = 1; end < image.height(); ++end)
        rows.rowsDecoded(end);
    rows.finish();
    EXPECT_EQ(std::vector<uint16_t>(image.data(), image.data() + image.elementCount()),
              std::vector<uint16_t>(expected.data(), expected.data() + expected.elementCount()));
}
