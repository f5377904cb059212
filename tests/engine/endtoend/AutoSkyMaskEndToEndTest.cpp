#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

#include "SkyFiles.h"
#include "SkySeries.h"
#include "support/ProgressLog.h"
#include "support/SmallLandscape.h"

namespace {

velsky::SkyOptions landscape(uint64_t seed) { return veltest::smallLandscape(seed, 6); }

// The frames of a series as JPEG files beside nothing else.
std::vector<std::string> writeJpegFrames(const velsky::SkyGenerator& generator, const veltest::TempDir& dir)
{
    std::vector<std::string> files;
    for (int i = 0; i < generator.options().frames; ++i) {
        files.push_back(dir.file("frame_" + std::to_string(i) + ".jpg"));
        velsky::writeJpeg(files.back(), generator.renderFrame(i));
    }
    return files;
}

// One engine over `files`, configured, then run (or only asked for the estimate); keeps the mask.
struct MaskRun {
    int result = 0;
    int kind = VELOSTAR_MASK_NONE;
    velimage::Image16 mask;
    veltest::ProgressLog log;

    MaskRun(const std::vector<std::string>& files, const std::string& output, bool estimateOnly,
            const std::function<void(Velostar&)>& configure = {})
    {
        std::unique_ptr<Velostar, void (*)(Velostar*)> engine(Velostar::create(), Velostar::destroy);
        engine->setBaseImage(veltest::widen(files.front()).c_str());
        for (size_t i = 1; i < files.size(); ++i)
            engine->addStarImage(veltest::widen(files[i]).c_str());
        if (!output.empty())
            engine->setOutputFile(veltest::widen(output).c_str());
        engine->setColorSpace(2);
        if (configure)
            configure(*engine);
        engine->setProgressCallback(&log, &veltest::ProgressLog::callback);
        result = estimateOnly ? engine->estimateSkyMask() : engine->run();
        const uint16_t* pixels = nullptr;
        int width = 0, height = 0;
        kind = engine->getSkyMask(&pixels, &width, &height);
        if (kind != VELOSTAR_MASK_NONE) {
            mask.allocate(width, height, 1);
            std::copy_n(pixels, mask.elementCount(), mask.data());
        }
    }
};

// Share of the pixels more than `margin` pixels from the true horizon on which the mask (sky
// from half way up) agrees with the generator.
double agreement(const velsky::SkyGenerator& sky, const velimage::Image16& mask, int32_t margin = 10)
{
    int64_t counted = 0, agreed = 0;
    for (int32_t y = 0; y < mask.height(); ++y)
        for (int32_t x = 0; x < mask.width(); ++x) {
            bool near = false;
            for (int32_t dx = -margin; dx <= margin && !near; ++dx)
                near = std::fabs(sky.horizonRow(std::clamp(x + dx, 0, mask.width() - 1)) - y) <= margin;
            if (near)
                continue;
            ++counted;
            agreed += (mask.row(y)[x] >= 32768) == !sky.isGround(x, y);
        }
    return counted ? static_cast<double>(agreed) / static_cast<double>(counted) : 0.0;
}

double green(const velimage::Image16& image, int x, int y) { return image.row(y)[x * 3 + 1]; }

// RMS of (image − truth) in channel 1 on the ground 20 pixels below the horizon: its sharpness.
double groundError(const velimage::Image16& image, const velsky::RgbImage16& truth, const velsky::SkyGenerator& sky)
{
    double squares = 0;
    int64_t count = 0;
    for (int y = 0; y < truth.height - 24; ++y)
        for (int x = 24; x < truth.width - 24; ++x)
            if (y > sky.horizonRow(x) + 20) {
                const double d = green(image, x, y) - truth.at(x, y, 1);
                squares += d * d;
                ++count;
            }
    return std::sqrt(squares / static_cast<double>(std::max<int64_t>(count, 1)));
}

// RMS of the residual (image − truth) less its 9 × 9 mean over star-free sky 30 pixels above the
// horizon and away from the border: the glow that moves with the camera drops out, noise stays.
double skyNoise(const velimage::Image16& image, const velsky::RgbImage16& truth, const velsky::SkyGenerator& sky)
{
    const int w = truth.width, h = truth.height;
    std::vector<double> residual(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            residual[static_cast<size_t>(y) * w + x] = green(image, x, y) - truth.at(x, y, 1);
    double squares = 0;
    int64_t count = 0;
    for (int y = 24; y < h - 24; ++y)
        for (int x = 24; x < w - 24; ++x) {
            if (y + 30 > sky.horizonRow(x))
                continue;
            int lo = 65535, hi = 0;
            double around = 0;
            for (int dy = -4; dy <= 4; ++dy)
                for (int dx = -4; dx <= 4; ++dx) {
                    lo = std::min<int>(lo, truth.at(x + dx, y + dy, 1));
                    hi = std::max<int>(hi, truth.at(x + dx, y + dy, 1));
                    around += residual[static_cast<size_t>(y + dy) * w + x + dx];
                }
            if (hi - lo > 20)
                continue;
            const double d = residual[static_cast<size_t>(y) * w + x] - around / 81.0;
            squares += d * d;
            ++count;
        }
    EXPECT_GT(count, 20000);
    return std::sqrt(squares / static_cast<double>(std::max<int64_t>(count, 1)));
}

// "Freeze ground" with `painted` (width × height RGB), or with the estimate when there is none.
std::function<void(Velostar&)> freeze(const std::vector<uint8_t>* painted, int width = 0, int height = 0)
{
    return [painted, width, height](Velostar& engine) {
        engine.setIntegrationMode(2);
        engine.setFreezeGroundSelective(true);
        if (painted)
            engine.setMask(painted->data(), width, height);
        else
            engine.setAutoSkyMask(true);
    };
}

TEST(AutoSkyMask, AgreesWithTheGeneratedHorizonInTiffAndJpegSeries)
{
    struct Case {
        uint64_t seed;
        double share;
        int lights;
        bool jpeg;
    };
    for (const Case c : {Case{23, 0.45, 10, false}, Case{37, 0.25, 10, true}}) {
        velsky::SkyOptions o = landscape(c.seed);
        o.horizonShare = c.share;
        o.groundLights = c.lights;
        const e2e::SkySeries series(o);
        const std::vector<std::string> files = c.jpeg ? writeJpegFrames(series.generator, series.dir) : series.files;
        // "Accumulation" estimates from the same walk as "Freeze ground", with the cheaper model.
        // Trails estimate in a walk of their own before they compose.
        const bool trails = c.jpeg;
        const MaskRun run(files, series.dir.file("out.tif"), false, [trails](Velostar& engine) {
            engine.setAutoSkyMask(true);
            engine.setCompositionMode(trails ? 1 : 0);
        });
        ASSERT_EQ(run.result, VELOSTAR_OK) << "seed " << c.seed;
        ASSERT_EQ(run.kind, VELOSTAR_MASK_ESTIMATED);
        EXPECT_GE(agreement(series.generator, run.mask), 0.98) << "seed " << c.seed << (c.jpeg ? " (JPEG)" : "");
    }
}

TEST(AutoSkyMask, FreezeGroundWithTheEstimateIsAsGoodAsWithTheTrueMask)
{
    velsky::SkyOptions o = landscape(11);
    o.groundLights = 8;
    // Five frames: with fewer the clipped sky keeps the satellite, which would swamp the noise;
    // more cost time, as "Freeze ground" aligns with the costly complex model.
    o.frames = 5;
    // Large enough that the estimate works on reduced planes: the horizon drawn in their blocks,
    // softened, once left sky weight on the ground below it.
    o.width = 1500;
    o.height = 1000;
    const e2e::SkySeries series(o);
    const std::vector<uint8_t> truthMask = series.generator.maskRgb();
    const MaskRun estimated(series.files, series.dir.file("estimated.tif"), false, freeze(nullptr));
    const MaskRun painted(series.files, series.dir.file("painted.tif"), false, freeze(&truthMask, o.width, o.height));
    ASSERT_EQ(estimated.result, VELOSTAR_OK);
    ASSERT_EQ(painted.result, VELOSTAR_OK);
    const auto withEstimate = e2e::loadTiff(series.dir.file("estimated.tif"));
    const auto withTruth = e2e::loadTiff(series.dir.file("painted.tif"));
    ASSERT_TRUE(withEstimate && withTruth);
    const velsky::RgbImage16 truth = series.generator.renderBaseSky();
    const double groundEstimate = groundError(*withEstimate, truth, series.generator);
    const double groundTruth = groundError(*withTruth, truth, series.generator);
    const double skyEstimate = skyNoise(*withEstimate, truth, series.generator);
    const double skyTruth = skyNoise(*withTruth, truth, series.generator);
    EXPECT_NEAR(groundEstimate / groundTruth, 1.0, 0.03) << groundEstimate << " against " << groundTruth;
    EXPECT_NEAR(skyEstimate / skyTruth, 1.0, 0.03) << skyEstimate << " against " << skyTruth;
}

// A series without ground gives all sky; a fixed scene without stars all ground with the warning,
// through the estimate alone and through a run, which then fails on the stars as it would anyway.
TEST(AutoSkyMask, SkyOnlyIsAllSkyAndAStarlessFixedSceneAllGroundWithAWarning)
{
    velsky::SkyOptions skyOnly = landscape(7);
    skyOnly.foreground = false;
    const e2e::SkySeries sky(skyOnly);
    const MaskRun open(sky.files, "", true);
    EXPECT_EQ(open.result, VELOSTAR_OK);
    ASSERT_EQ(open.kind, VELOSTAR_MASK_ESTIMATED);
    EXPECT_EQ(*std::min_element(open.mask.data(), open.mask.data() + open.mask.elementCount()), 65535);

    // Lit windows register (the frames do not move), bare ground does not: the run fails on the
    // stars as it would anyway.
    for (const int lights : {8, 0}) {
        velsky::SkyOptions fixed = landscape(9);
        fixed.starsPerMegapixel = 0.0;
        fixed.rotationPerFrameDeg = 0.0;
        fixed.jitterPx = 0.0;
        fixed.satelliteFrame = -1;
        fixed.groundLights = lights;
        fixed.frames = 5;
        const e2e::SkySeries scene(fixed);
        MaskRun still(scene.files, scene.dir.file("still.tif"), lights > 0, freeze(nullptr));
        EXPECT_EQ(still.result, lights > 0 ? VELOSTAR_OK : VELOSTAR_TOO_FEW_STARS);
        ASSERT_EQ(still.kind, VELOSTAR_MASK_NO_STAR_MOTION);
        EXPECT_EQ(*std::max_element(still.mask.data(), still.mask.data() + still.mask.elementCount()), 0);
        EXPECT_TRUE(still.log.contains(VELOSTAR_STAGE_SKY_ESTIMATE + 1, VELOSTAR_DETAIL_NO_STAR_MOTION));
    }
}

}  // namespace
