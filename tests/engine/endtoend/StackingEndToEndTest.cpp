#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "SkyFiles.h"
#include "SkySeries.h"
#include "image/Metadata.h"
#include "support/TransformCheck.h"

using e2e::SkySeries;

namespace {

velsky::SkyOptions smallSky(int frames, uint64_t seed)
{
    velsky::SkyOptions o;
    o.width = 1200;
    o.height = 800;
    o.frames = frames;
    o.seed = seed;
    o.threads = 2;
    o.skyLevel = 1000.0;
    o.pollution = 0.5;
    o.magnitudeRange = 6.0;  // enough stars stand out of a linear (dark) frame
    return o;
}

const auto linear = [](Velostar& engine) { engine.setColorSpace(2); };

double mean(const std::vector<double>& values)
{
    double sum = 0;
    for (double v : values)
        sum += v;
    return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

// Mean star width of `image` at the given base-frame positions.
double meanWidth(const velimage::Image16& image, const std::vector<e2e::Spot>& spots)
{
    std::vector<double> widths;
    for (const e2e::Spot& s : spots)
        widths.push_back(e2e::starWidth(image, s.x, s.y));
    return mean(widths);
}

// Standard deviation of (scale·image − truth) in channel 1 over star-free 32 × 32 blocks.
double skyNoise(const velimage::Image16& image, double scale, const velsky::RgbImage16& truth)
{
    double sum = 0, squares = 0;
    int64_t count = 0;
    for (int by = 64; by + 32 <= truth.height - 64; by += 48)
        for (int bx = 64; bx + 32 <= truth.width - 64; bx += 48) {
            int lo = 65535, hi = 0;
            for (int y = by; y < by + 32; ++y)
                for (int x = bx; x < bx + 32; ++x) {
                    lo = std::min<int>(lo, truth.at(x, y, 1));
                    hi = std::max<int>(hi, truth.at(x, y, 1));
                }
            if (hi - lo > 30)  // a star (or its wing) lies in the block
                continue;
            for (int y = by; y < by + 32; ++y)
                for (int x = bx; x < bx + 32; ++x) {
                    const double r = scale * image.row(y)[x * 3 + 1] - truth.at(x, y, 1);
                    sum += r;
                    squares += r * r;
                    ++count;
                }
        }
    EXPECT_GT(count, 8000) << "too few star-free blocks";
    const double m = sum / static_cast<double>(count);
    return std::sqrt(squares / static_cast<double>(count) - m * m);
}

}  // namespace

TEST(EndToEnd, OneFrameInTheLinearColourSpaceComesBackSampleForSample)
{
    veltest::TempDir dir;
    velsky::RgbImage16 frame;
    frame.width = 301;
    frame.height = 203;
    std::mt19937 random(7);
    for (int i = 0; i < frame.width * frame.height * 3; ++i)
        frame.samples.push_back(static_cast<uint16_t>(i % 97 == 0 ? 65535 : i % 89 == 0 ? 0 : random() & 0xFFFF));
    velsky::writeTiff16(dir.file("one.tif"), frame);

    const e2e::RunOutcome outcome = e2e::runEngine({dir.file("one.tif")}, dir.file("out.tif"), linear);
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    const auto out = e2e::loadTiff(dir.file("out.tif"));
    ASSERT_TRUE(out);
    ASSERT_EQ(out->width(), frame.width);
    ASSERT_EQ(out->height(), frame.height);
    ASSERT_EQ(out->channels(), 3);
    size_t differing = 0;
    for (int y = 0; y < frame.height; ++y)
        for (int i = 0; i < frame.width * 3; ++i)
            differing += out->row(y)[i] != frame.samples[static_cast<size_t>(y) * frame.width * 3 + i];
    EXPECT_EQ(differing, 0u);
    uint16_t tag = 0;
    ASSERT_TRUE(out->metadata() && out->metadata()->findShort(velimage::tags::ColorSpace, tag));
    EXPECT_EQ(tag, 65535);
}

class Accumulation : public ::testing::Test {
protected:
    static constexpr int kFrames = 8;
    static void SetUpTestSuite()
    {
        series = new SkySeries(smallSky(kFrames, 3));
        outcome = new e2e::RunOutcome(e2e::runEngine(series->files, series->dir.file("stack.tif"), linear));
    }
    static void TearDownTestSuite()
    {
        delete outcome;
        delete series;
    }
    static SkySeries* series;
    static e2e::RunOutcome* outcome;
};
SkySeries* Accumulation::series = nullptr;
e2e::RunOutcome* Accumulation::outcome = nullptr;

TEST_F(Accumulation, StarsStaySharpAndSkyNoiseFallsWithTheRootOfTheFrameCount)
{
    ASSERT_EQ(outcome->result, VELOSTAR_OK);
    const auto stack = e2e::loadTiff(series->dir.file("stack.tif"));
    const auto base = e2e::loadTiff(series->files[0]);
    ASSERT_TRUE(stack && base);
    ASSERT_EQ(stack->width(), base->width());

    // Stars bright in the sum but not clipped by it.
    const auto spots = e2e::measurableStars(*series, *stack, 4000, 45000, 12, 30);
    ASSERT_GE(spots.size(), 15u);
    const double stacked = meanWidth(*stack, spots), single = meanWidth(*base, spots);
    EXPECT_LT(stacked, single * 1.10) << "stack " << stacked << " base " << single;
    EXPECT_GT(stacked, single * 0.8) << "stack " << stacked << " base " << single;

    const velsky::RgbImage16 truth = series->generator.renderBaseSky();
    const double one = skyNoise(*base, 1.0, truth);
    const double all = skyNoise(*stack, 1.0 / kFrames, truth);
    EXPECT_GT(one / all, 0.9 * std::sqrt(double(kFrames))) << "one frame " << one << " stack " << all;
}

TEST_F(Accumulation, ReportedTransformsAgreeWithTheGeneratorWithinATenthOfAPixel)
{
    ASSERT_EQ(outcome->result, VELOSTAR_OK);
    ASSERT_EQ(outcome->reports.size(), size_t(kFrames));
    for (const VelostarFrameReport& report : outcome->reports) {
        const std::string file(report.file, report.file + wcslen(report.file));
        const int index = std::stoi(file.substr(file.size() - 7, 3));
        EXPECT_EQ(report.reference, index == 0);
        EXPECT_TRUE(report.used) << file;
        EXPECT_GT(report.stars, 100) << file;
        if (report.reference)
            continue;
        EXPECT_TRUE(report.aligned) << file;
        EXPECT_GE(report.pairs, 20) << file;
        EXPECT_LT(veltest::mapError(report.transform, series->generator.frameToBase(index).m, 1200, 800).worst, 0.1)
            << file;
    }
}

TEST_F(Accumulation, DefaultRunReportsEveryStageItRanAsDone)
{
    for (const auto& [stage, detail] : outcome->stages)
        EXPECT_FALSE(stage % 2 == 1 && detail == 2) << "stage " << stage << " failed";
    // Hot-pixel removal is on by default; registration, composition, normalising, the final
    // conversion and writing ran too.
    for (int32_t stage : {21, 27, 29, 39, 45, 57})
        EXPECT_TRUE(outcome->has(stage, 1)) << "stage " << stage;
}

TEST(EndToEnd, GradientRegionKeepsTheBaseBelowItsLineAndStacksAbove)
{
    constexpr int kFrames = 4;
    SkySeries series(smallSky(kFrames, 21));
    const std::string plain = series.dir.file("plain.tif"), graded = series.dir.file("graded.tif");
    ASSERT_EQ(e2e::runEngine(series.files, plain, linear).result, VELOSTAR_OK);
    // A level line across the middle, drawn left to right: the part above it is sky.
    const auto gradient = [](Velostar& engine) {
        engine.setColorSpace(2);
        engine.setGradientRegion(0.0f, 0.5f, 1.0f, 0.5f, 0.1f);
    };
    ASSERT_EQ(e2e::runEngine(series.files, graded, gradient).result, VELOSTAR_OK);
    const auto base = e2e::loadTiff(series.files[0]);
    const auto withRamp = e2e::loadTiff(graded);
    const auto without = e2e::loadTiff(plain);
    ASSERT_TRUE(base && withRamp && without);

    // Below the line only the base counts, scaled up to the full frame count.
    size_t differing = 0;
    for (int y = 400; y < 800; ++y)
        for (int i = 0; i < 1200 * 3; ++i)
            differing += withRamp->row(y)[i] != std::min(65535, kFrames * base->row(y)[i]);
    EXPECT_EQ(differing, 0u);
    // Beyond the ramp every frame counts in full.
    differing = 0;
    for (int y = 20; y < 400 - 80 - 2; ++y)
        for (int i = 20 * 3; i < 1180 * 3; ++i)
            differing += withRamp->row(y)[i] != without->row(y)[i];
    EXPECT_EQ(differing, 0u);
}

TEST(EndToEnd, FinishingStagesRunInOrderAndHalveTheImage)
{
    SkySeries series(smallSky(3, 5));
    const auto everything = [](Velostar& engine) {
        engine.setMergePixels(true);
        engine.setEnhanceStars(1.5f);
        engine.setAutoBrightness(true);
        engine.setHDR(true);
        engine.setGradientRegion(0.0f, 0.6f, 1.0f, 0.6f, 0.1f);
    };
    const e2e::RunOutcome outcome = e2e::runEngine(series.files, series.dir.file("out.tif"), everything);
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    std::vector<int32_t> closing;
    for (const auto& [stage, detail] : outcome.stages)
        if (stage >= 40 && stage <= 51 && stage % 2 == 1) {
            EXPECT_EQ(detail, 1) << "stage " << stage;
            closing.push_back(stage);
        }
    EXPECT_EQ(closing, (std::vector<int32_t>{41, 43, 47, 51, 45}));
    const auto out = e2e::loadTiff(series.dir.file("out.tif"));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width(), 600);
    EXPECT_EQ(out->height(), 400);
    uint16_t tag = 0;
    ASSERT_TRUE(out->metadata() && out->metadata()->findShort(velimage::tags::ColorSpace, tag));
    EXPECT_EQ(tag, 1);
}

TEST(EndToEnd, OverExposedSumIsToneDownAfterThePreparationPass)
{
    velsky::SkyOptions o = smallSky(4, 9);
    o.skyLevel = 20000.0;  // four frames sum far beyond white
    SkySeries series(o);
    const e2e::RunOutcome outcome = e2e::runEngine(series.files, series.dir.file("out.tif"), linear);
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    EXPECT_TRUE(outcome.has(47, 1));
    const auto out = e2e::loadTiff(series.dir.file("out.tif"));
    ASSERT_TRUE(out);
    // The sky is brought down from white to a usable level.
    EXPECT_LT(out->row(400)[600 * 3 + 1], 60000);
    EXPECT_GT(out->row(400)[600 * 3 + 1], 1000);
}

class DistortionCorrection : public ::testing::TestWithParam<int> {};

TEST_P(DistortionCorrection, CornersStayAsSharpAsTheCentreOnlyWithCorrection)
{
    velsky::SkyOptions o = smallSky(5, 17);
    o.k1 = 0.08;
    o.rotationPerFrameDeg = 1.0;  // stars cross enough of the lens for its distortion to show
    SkySeries series(o);
    const auto setup = [](Velostar& engine) {
        engine.setColorSpace(2);
        engine.setDistortionCorrection(GetParam());
    };
    const e2e::RunOutcome outcome = e2e::runEngine(series.files, series.dir.file("stack.tif"), setup);
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    for (const VelostarFrameReport& report : outcome.reports)
        EXPECT_TRUE(report.used);
    const auto stack = e2e::loadTiff(series.dir.file("stack.tif"));
    ASSERT_TRUE(stack);
    const auto spots = e2e::measurableStars(series, *stack, 3000, 50000, 12, 400);
    std::vector<e2e::Spot> corners, centre;
    for (const e2e::Spot& s : spots) {
        const double fx = s.x / 1200.0, fy = s.y / 800.0;
        if ((fx < 0.2 || fx > 0.8) && (fy < 0.25 || fy > 0.75))
            corners.push_back(s);
        else if (std::fabs(fx - 0.5) < 0.2 && std::fabs(fy - 0.5) < 0.2)
            centre.push_back(s);
    }
    ASSERT_GE(corners.size(), 6u);
    ASSERT_GE(centre.size(), 6u);
    // The base frame is equally sharp everywhere; the stack should be too.
    const auto base = e2e::loadTiff(series.files[0]);
    ASSERT_TRUE(base);
    const double cornerRatio = meanWidth(*stack, corners) / meanWidth(*base, corners);
    const double centreRatio = meanWidth(*stack, centre) / meanWidth(*base, centre);
    if (GetParam() == 0) {
        // Without correction the series must visibly blur the corners, or it tests nothing.
        EXPECT_GT(cornerRatio, 1.12);
    } else {
        EXPECT_LT(cornerRatio, 1.10) << "mode " << GetParam();
        EXPECT_LT(centreRatio, 1.10) << "mode " << GetParam();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DistortionCorrection, ::testing::Values(0, 1, 2));

TEST(EndToEnd, AlignOnlyWritesOneAlignedFramePerFrame)
{
    SkySeries series(smallSky(4, 13));
    std::filesystem::create_directories(series.dir.file("out"));
    const e2e::RunOutcome outcome =
        e2e::runEngine(series.files, series.dir.file("out/result.tif"), [](Velostar& e) {
            e.setIntegrationMode(3);
            // A star clipped in one channel alone can pass for a hot pixel; the frames here must
            // come out exactly as read.
            e.setRemoveHotPixels(false);
        });
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    // Loaded as the run loads it (default colour space).
    const auto base = e2e::loadTiff(series.files[0], 1);
    const auto spots = e2e::measurableStars(series, *base, 3000, 40000, 12, 10);
    ASSERT_GE(spots.size(), 5u);
    for (int i = 0; i < 4; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "out/frame_%03d.align.tif", i);
        const auto aligned = e2e::loadTiff(series.dir.file(name), 3);
        ASSERT_TRUE(aligned) << name;
        ASSERT_EQ(aligned->width(), 1200);
        ASSERT_EQ(aligned->height(), 800);
        uint16_t colorSpace = 0;
        EXPECT_TRUE(aligned->metadata() && aligned->metadata()->findShort(velimage::tags::ColorSpace, colorSpace));
        EXPECT_EQ(colorSpace, 65535) << name;
        if (i == 0) {
            // Linear output: the reference is written as it was read.
            EXPECT_TRUE(std::equal(base->data(), base->data() + base->elementCount(), aligned->data()));
            continue;
        }
        // Every frame's stars sit where the base has them.
        for (const e2e::Spot& s : spots) {
            int bestX = 0, bestY = 0, best = -1;
            for (int y = int(s.y) - 4; y <= int(s.y) + 4; ++y)
                for (int x = int(s.x) - 4; x <= int(s.x) + 4; ++x)
                    if (aligned->row(y)[x * 3 + 1] > best) {
                        best = aligned->row(y)[x * 3 + 1];
                        bestX = x;
                        bestY = y;
                    }
            EXPECT_LE(std::hypot(bestX - s.x, bestY - s.y), 1.5) << name;
        }
    }
    EXPECT_TRUE(std::filesystem::exists(series.dir.file("out/result.tif")));
}

TEST(EndToEnd, AlignOnlyFailsWhenAnAlignedFrameCannotBeWritten)
{
    SkySeries series(smallSky(3, 13));
    // A folder where the second aligned frame should go: the saver's write fails.
    std::filesystem::create_directories(series.dir.file("out/frame_001.align.tif"));
    const e2e::RunOutcome outcome = e2e::runEngine(series.files, series.dir.file("out/result.tif"),
                                                   [](Velostar& e) { e.setIntegrationMode(3); });
    EXPECT_EQ(outcome.result, VELOSTAR_WRITE_FAILED);
    EXPECT_TRUE(std::filesystem::exists(series.dir.file("out/frame_002.align.tif")));
}

TEST(EndToEnd, PaintedSkyMaskAlignsOnTheSkyAndKeepsStarLightEnhancementOffTheGround)
{
    velsky::SkyOptions o = smallSky(4, 29);
    o.foreground = true;
    o.rotationPerFrameDeg = 0.4;
    SkySeries series(o);
    const std::vector<uint8_t> mask = series.generator.maskRgb();
    const auto withMask = [&](float enhance) {
        return [&mask, &o, enhance](Velostar& engine) {
            engine.setColorSpace(2);
            engine.setMask(mask.data(), o.width, o.height);
            engine.setEnhanceStars(enhance);
        };
    };
    const e2e::RunOutcome plain = e2e::runEngine(series.files, series.dir.file("plain.tif"), withMask(0.0f));
    const e2e::RunOutcome enhanced = e2e::runEngine(series.files, series.dir.file("enhanced.tif"), withMask(2.6f));
    ASSERT_EQ(plain.result, VELOSTAR_OK);
    ASSERT_EQ(enhanced.result, VELOSTAR_OK);
    EXPECT_TRUE(plain.has(17, 1));
    EXPECT_TRUE(enhanced.has(43, 1));
    for (const VelostarFrameReport& report : plain.reports) {
        if (report.reference)
            continue;
        ASSERT_TRUE(report.aligned);
        const std::wstring file(report.file);
        const velsky::Affine truth = series.generator.frameToBase(std::stoi(std::string(file.end() - 7, file.end() - 4)));
        EXPECT_LT(veltest::mapError(report.transform, truth.m, o.width, o.height).worst, 0.1);
    }

    const auto a = e2e::loadTiff(series.dir.file("plain.tif"));
    const auto b = e2e::loadTiff(series.dir.file("enhanced.tif"));
    ASSERT_TRUE(a && b);
    size_t groundChanged = 0, skyBrightened = 0;
    for (int y = 0; y < 800; ++y)
        for (int x = 0; x < 1200; ++x) {
            const uint16_t before = a->row(y)[x * 3 + 1], after = b->row(y)[x * 3 + 1];
            if (y > series.generator.horizonRow(x) + 40)
                groundChanged += before != after;
            else if (y + 40 < series.generator.horizonRow(x))
                skyBrightened += after > before;
        }
    EXPECT_EQ(groundChanged, 0u);
    EXPECT_GT(skyBrightened, 100u);
}

TEST(EndToEnd, StarFrameCutShortIsNotComposedAndLeavesTheStackAsTheBaseAlone)
{
    velsky::SkyOptions options = smallSky(2, 17);
    options.width = 600;
    options.height = 400;
    const velsky::SkyGenerator generator(options);
    veltest::TempDir dir;
    velsky::writeJpeg(dir.file("base.jpg"), generator.renderFrame(0));
    velsky::writeJpeg(dir.file("cut.jpg"), generator.renderFrame(1));
    std::filesystem::resize_file(dir.file("cut.jpg"), std::filesystem::file_size(dir.file("cut.jpg")) / 2);
    const auto alone = e2e::runEngine({dir.file("base.jpg")}, dir.file("alone.tif"), linear);
    const auto cut = e2e::runEngine({dir.file("base.jpg"), dir.file("cut.jpg")}, dir.file("cut.tif"), linear);
    ASSERT_EQ(alone.result, VELOSTAR_OK);
    ASSERT_EQ(cut.result, VELOSTAR_OK);
    EXPECT_TRUE(cut.has(2, 2)) << "loading the cut frame is reported failed";
    EXPECT_FALSE(cut.reports.at(1).used);
    // The missing rows were grey padding; none of it may reach the result.
    const auto expected = e2e::loadTiff(dir.file("alone.tif")), result = e2e::loadTiff(dir.file("cut.tif"));
    ASSERT_TRUE(expected && result && result->elementCount() == expected->elementCount());
    EXPECT_TRUE(std::equal(expected->data(), expected->data() + expected->elementCount(), result->data()));
}
