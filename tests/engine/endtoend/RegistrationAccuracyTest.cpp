#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "RegistrationStages.h"
#include "SkyFiles.h"
#include "SkySeries.h"
#include "StarAnalysis.h"
#include "VelostarImpl.h"
#include "image/ImageFiles.h"
#include "integration/FrameWarper.h"
#include "parallel/ProcessPool.h"
#include "support/TransformCheck.h"
#include "support/TempDir.h"

namespace {

// A night as a camera sees it: default star density, hot pixels, lit windows on the ground and a
// satellite crossing one frame.
velsky::SkyOptions landscape(uint64_t seed)
{
    velsky::SkyOptions o;
    o.width = 900;
    o.height = 600;
    o.frames = 5;
    o.baseFrame = 2;
    o.satelliteFrame = 3;
    o.foreground = true;
    o.seed = seed;
    o.threads = 2;
    return o;
}

std::vector<std::string> writeFrames(const velsky::SkyGenerator& generator, const veltest::TempDir& dir, bool jpeg)
{
    std::vector<std::string> files;
    const int base = generator.options().baseFrame;
    for (int i = 0; i < generator.options().frames; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "frame_%03d.%s", i, jpeg ? "jpg" : "tif");
        const std::string path = dir.file(name);
        if (jpeg)
            velsky::writeJpeg(path, generator.renderFrame(i));
        else
            velsky::writeTiff16(path, generator.renderFrame(i));
        // The base goes first.
        files.insert(i == base ? files.begin() : files.end(), path);
    }
    return files;
}

int frameIndex(const wchar_t* file)
{
    const std::wstring name(file);
    return std::stoi(std::string(name.end() - 7, name.end() - 4));
}

velstack::WarpModel modelOf(const double t[6])
{
    const float forward[9] = {float(t[0]), float(t[1]), float(t[2]), float(t[3]), float(t[4]), float(t[5]), 0, 0, 1};
    velstack::WarpModel model;
    model.setFromForward(forward);
    return model;
}

// Mean second-moment width of the normalised green light at `spots`.
double meanWidth(const velimage::AccumulationImage& stack, const std::vector<e2e::Spot>& spots)
{
    velimage::Image16 image;
    image.allocate(stack.width(), stack.height(), 3);
    for (int32_t y = 0; y < stack.height(); ++y)
        for (int32_t x = 0; x < stack.width() * 3; ++x) {
            const float w = stack.weightRow(y)[x / 3];
            image.row(y)[x] = static_cast<uint16_t>(w > 0 ? std::min(65535.0f, stack.row(y)[x] / w + 0.5f) : 0);
        }
    double sum = 0;
    for (const e2e::Spot& s : spots)
        sum += e2e::starWidth(image, s.x, s.y);
    return sum / static_cast<double>(spots.size());
}

struct Night {
    bool jpeg;
    int colorSpace;  // engine setting
    bool skyMask;
};

class RealisticNight : public ::testing::TestWithParam<Night> {};

TEST_P(RealisticNight, EveryFrameRegistersToAFewHundredthsOfAPixelAndStarsStaySharp)
{
    const Night night = GetParam();
    const velsky::SkyGenerator generator(landscape(41));
    const velsky::SkyOptions& o = generator.options();
    veltest::TempDir dir;
    const std::vector<std::string> files = writeFrames(generator, dir, night.jpeg);
    const std::vector<uint8_t> mask = generator.maskRgb();
    const e2e::RunOutcome outcome = e2e::runEngine(files, dir.file("stack.tif"), [&](Velostar& engine) {
        engine.setColorSpace(night.colorSpace);
        engine.setRemoveHotPixels(false);  // the frames keep their hot pixels
        if (night.skyMask)
            engine.setMask(mask.data(), o.width, o.height);
    });
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    ASSERT_EQ(outcome.reports.size(), files.size());

    // The reported transforms against the truth, and two stacks made with the same warp: one with
    // the reported transforms, one with the true ones.
    velthread::ProcessPoolScope pool(2);
    const int loaderSetting = night.colorSpace == 1 ? 2 : night.colorSpace == 2 ? 3 : 1;
    velimage::AccumulationImage fitted, truth;
    double squares = 0, worstFrame = 0;
    for (const VelostarFrameReport& report : outcome.reports) {
        const int index = frameIndex(report.file);
        const auto image = velimage::loadImage(report.file, loaderSetting, 1);
        ASSERT_TRUE(image);
        const velsky::Affine exact = generator.frameToBase(index);
        velstack::accumulateFrame(*image, modelOf(exact.m.data()), truth);
        if (report.reference) {
            velstack::accumulateFrame(*image, modelOf(exact.m.data()), fitted);
            continue;
        }
        ASSERT_TRUE(report.aligned) << index << ": " << (report.reason ? report.reason : "");
        const veltest::MapError error = veltest::mapError(report.transform, exact.m, o.width, o.height);
        squares += error.rms * error.rms;
        worstFrame = std::max(worstFrame, error.rms);
        velstack::accumulateFrame(*image, modelOf(report.transform), fitted);
    }
    // A frame this small holds a dozen or two detectable stars; larger frames do better still.
    EXPECT_LT(std::sqrt(squares / (o.frames - 1)), 0.06);
    EXPECT_LT(worstFrame, 0.1);

    std::vector<e2e::Spot> spots;
    for (const velsky::SkyStar& star : generator.stars()) {
        double x, y;
        generator.skyToFramePixel(o.baseFrame, star.x, star.y, x, y);
        if (x < 20 || y < 20 || x > o.width - 21 || y > o.height - 21 || generator.isGround(int(x), int(y) + 8) ||
            star.flux < 2e4 || star.flux > 3e5)
            continue;
        spots.push_back({x, y});
    }
    ASSERT_GE(spots.size(), 10u);
    const double widthFitted = meanWidth(fitted, spots), widthTrue = meanWidth(truth, spots);
    EXPECT_LT(widthFitted, widthTrue * 1.03) << widthFitted << " against " << widthTrue;
}

INSTANTIATE_TEST_SUITE_P(FilesColourSpacesAndRegions, RealisticNight,
                         ::testing::Values(Night{false, 0, false}, Night{true, 2, false}, Night{false, 2, true},
                                           Night{true, 1, true}));

TEST(Registration, SteepRotationAndLargeShiftStillRegister)
{
    velsky::SkyOptions o = landscape(43);
    o.frames = 3;
    o.baseFrame = 0;
    o.satelliteFrame = -1;
    o.rotationPerFrameDeg = 1.0;
    o.jitterPx = 50.0;
    // The geometry is under test here, not the star count: a frame this small holds only a dozen
    // detectable stars at the default density.
    o.starsPerMegapixel = 2000;
    const velsky::SkyGenerator generator(o);
    veltest::TempDir dir;
    const e2e::RunOutcome outcome = e2e::runEngine(writeFrames(generator, dir, false), dir.file("stack.tif"));
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    for (const VelostarFrameReport& report : outcome.reports) {
        ASSERT_TRUE(report.aligned) << (report.reason ? report.reason : "");
        const int index = frameIndex(report.file);
        EXPECT_LT(veltest::mapError(report.transform, generator.frameToBase(index).m, o.width, o.height).worst, 0.1)
            << index;
    }
}

TEST(Registration, LensCorrectionWithoutARegionWarpsAsTheTrueTransformDoes)
{
    // No lens distortion in these frames: the displacement grid must stay flat, however the hot
    // pixels and lit windows near the sky's motion tempt it.
    const velsky::SkyGenerator generator(landscape(47));
    const velsky::SkyOptions& o = generator.options();
    velthread::ProcessPoolScope pool(2);
    VelostarImpl engine;
    EngineSettings settings;
    settings.distortionCorrection = 2;
    velrun::RunContext context(engine, settings);
    context.poolThreads = 2;
    velrun::RunStages stages;
    velrun::addRegistrationStages(stages);
    const auto analysed = [&](int index) {
        velrun::Frame frame;
        frame.reference = index == o.baseFrame;
        const velsky::RgbImage16 rgb = generator.renderFrame(index);
        frame.image = std::make_unique<velimage::Image16>();
        frame.image->allocate(rgb.width, rgb.height, 3);
        std::copy(rgb.samples.begin(), rgb.samples.end(), frame.image->data());
        frame.analysis = stages.analyzeFrame(context, frame, 0);
        return frame;
    };
    const velrun::Frame base = analysed(o.baseFrame);
    ASSERT_TRUE(base.analysis);
    context.referenceAnalysis = base.analysis.get();
    for (int index = 0; index < o.frames; ++index) {
        if (index == o.baseFrame)
            continue;
        velrun::Frame frame = analysed(index);
        ASSERT_TRUE(frame.analysis && stages.alignFrame(context, frame)) << index;
        // Every base pixel carried into the frame by the whole model, against the truth.
        const velstack::WarpModel& model = velrun::starAnalysisOf(frame.analysis.get())->warp.model();
        const velsky::Affine back = generator.frameToBase(index).inverse();
        double worst = 0;
        for (int y = 0; y < o.height; y += 25)
            for (int x = 0; x < o.width; x += 25) {
                float sx, sy;
                velstack::mapToSource(model, float(x), float(y), sx, sy);
                double tx, ty;
                back.apply(x, y, tx, ty);
                worst = std::max(worst, std::hypot(sx - tx, sy - ty));
            }
        EXPECT_LT(worst, 0.25) << index;
    }
}

TEST(Registration, FrameOfAnotherSceneIsReportedNotAlignedWithItsReason)
{
    const velsky::SkyGenerator night(landscape(45)), elsewhere(landscape(46));
    veltest::TempDir dir;
    std::vector<std::string> files = writeFrames(night, dir, false);
    velsky::writeTiff16(dir.file("stranger.tif"), elsewhere.renderFrame(1));
    files.push_back(dir.file("stranger.tif"));
    const e2e::RunOutcome outcome = e2e::runEngine(files, dir.file("stack.tif"));
    ASSERT_EQ(outcome.result, VELOSTAR_OK);
    ASSERT_EQ(outcome.reports.size(), files.size());
    const VelostarFrameReport& stranger = outcome.reports.back();
    EXPECT_FALSE(stranger.aligned);
    EXPECT_FALSE(stranger.used);
    ASSERT_NE(stranger.reason, nullptr);
    EXPECT_STREQ(stranger.reason, "too few matched pairs");
    for (size_t i = 1; i + 1 < outcome.reports.size(); ++i) {
        EXPECT_TRUE(outcome.reports[i].aligned);
        EXPECT_EQ(outcome.reports[i].reason, nullptr);
    }
}

}  // namespace
