#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "SkySeries.h"
#include "support/SmallLandscape.h"
#include "VelostarImpl.h"
#include "parallel/FrameStore.h"

using e2e::SkySeries;

namespace {

constexpr int kFrames = 10;
constexpr int kTrailFrame = 3;

// A landscape: rotating sky over a static, textured ground, with a satellite in one frame.
velsky::SkyOptions landscape()
{
    velsky::SkyOptions o = veltest::smallLandscape(41, kFrames);
    o.satelliteFrame = kTrailFrame;
    return o;
}

uint64_t plentyOfMemory() { return uint64_t{64} << 30; }
uint64_t noMemory() { return 0; }

// How one run is set up: linear output, the mode, the sky mask, the distortion model and where
// the frames of the second pass are kept.
struct Recipe {
    int mode = 1;
    bool masked = false;
    bool complexDistortion = false;  // freeze ground always uses it
    bool files = false;
    float sigma = 2.0f;
};

std::function<void(Velostar&)> setup(const Recipe& recipe, const std::vector<uint8_t>* mask)
{
    return [=](Velostar& engine) {
        engine.setColorSpace(2);
        engine.setIntegrationMode(recipe.mode);
        if (recipe.masked)
            engine.setMask(mask->data(), landscape().width, landscape().height);
        engine.setDistortionCorrection(recipe.complexDistortion ? 2 : 0);
        engine.setFreezeGroundSelective(true);
        engine.setSigma(recipe.sigma);
        static_cast<VelostarImpl&>(engine).setMemoryQuery(recipe.files ? noMemory : plentyOfMemory);
    };
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double at(const velimage::Image16& image, int x, int y) { return image.row(y)[x * 3 + 1]; }

// Light of the trail (frame-pixel line y = y0 + slope·x, mapped by `map`) summed across ±4 pixels
// above the background beside it, over the whole length: the trail's integrated brightness.
double trailLight(const velimage::Image16& image, const velsky::SkyGenerator& sky, const velsky::Affine& map)
{
    const auto line = sky.satelliteLine();
    double total = 0;
    for (int x = 40; x < image.width() - 40; ++x) {
        const double t = double(x) / image.width();
        double bx, by;
        map.apply(line[0] + t * (line[2] - line[0]), line[1] + t * (line[3] - line[1]), bx, by);
        const int cx = int(std::lround(bx)), cy = int(std::lround(by));
        if (cx < 0 || cx >= image.width() || cy < 20 || cy + 20 >= image.height())
            continue;
        double core = 0, beside = 0;
        for (int d = -4; d <= 4; ++d)
            core += at(image, cx, cy + d);
        for (int d = 12; d <= 16; ++d)
            beside += at(image, cx, cy + d) + at(image, cx, cy - d);
        total += core - 9.0 * beside / 10.0;
    }
    return total;
}

// Noise of the 8 × 8-pixel bin means of (scale·image − truth) in channel 1, over star-free sky away
// from the trail and the horizon. Each bin is compared with the mean of its eight neighbours, so
// that the glow, which moves with the frame and not with the stars, drops out.
double binnedSkyNoise(const velimage::Image16& image, double scale, const velsky::RgbImage16& truth,
                      const velsky::SkyGenerator& sky)
{
    const int columns = truth.width / 8, rows = truth.height / 8;
    std::vector<double> residual(size_t(columns) * rows, 0.0);
    std::vector<int> range(residual.size(), 65535);  // of the truth within the bin
    const auto line = sky.satelliteLine();
    for (int by = 2; by + 2 < rows; ++by)
        for (int bx = 2; bx + 2 < columns; ++bx) {
            const int x0 = bx * 8, y0 = by * 8;
            const double trailY = line[1] + (line[3] - line[1]) * (x0 + 4) / truth.width;
            if (std::fabs(y0 + 4 - trailY) < 24 || y0 + 32 > sky.horizonRow(x0) || y0 + 32 > sky.horizonRow(x0 + 7))
                continue;
            int lo = 65535, hi = 0;
            double sum = 0;
            for (int y = y0; y < y0 + 8; ++y)
                for (int x = x0; x < x0 + 8; ++x) {
                    lo = std::min<int>(lo, truth.at(x, y, 1));
                    hi = std::max<int>(hi, truth.at(x, y, 1));
                    sum += scale * at(image, x, y) - truth.at(x, y, 1);
                }
            residual[size_t(by) * columns + bx] = sum / 64.0;
            range[size_t(by) * columns + bx] = hi - lo;
        }
    double squares = 0;
    int64_t count = 0;
    for (int by = 3; by + 3 < rows; ++by)
        for (int bx = 3; bx + 3 < columns; ++bx) {
            // The bin itself star-free, its neighbours at most touched by a faint wing.
            double around = 0;
            bool all = range[size_t(by) * columns + bx] <= 20;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    all = all && range[size_t(by + dy) * columns + bx + dx] <= 60;
                    if (dx || dy)
                        around += residual[size_t(by + dy) * columns + bx + dx];
                }
            if (!all)
                continue;
            const double d = residual[size_t(by) * columns + bx] - around / 8.0;
            squares += d * d;
            ++count;
        }
    EXPECT_GT(count, 100) << "too few star-free bins";
    return std::sqrt(squares / double(std::max<int64_t>(1, count)));
}

// Root-mean-square of (image − truth) in channel 1 over the ground, 20 pixels below the horizon
// and inside the frame's margin.
double groundError(const velimage::Image16& image, const velsky::RgbImage16& truth, const velsky::SkyGenerator& sky)
{
    double squares = 0;
    int64_t count = 0;
    for (int y = 0; y < truth.height - 24; ++y)
        for (int x = 24; x < truth.width - 24; ++x)
            if (y > sky.horizonRow(x) + 20) {
                const double d = at(image, x, y) - truth.at(x, y, 1);
                squares += d * d;
                ++count;
            }
    EXPECT_GT(count, 20000);
    return std::sqrt(squares / double(count));
}

class PerPixel : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        series = new SkySeries(landscape());
        mask = new std::vector<uint8_t>(series->generator.maskRgb());
    }
    static void TearDownTestSuite()
    {
        delete mask;
        delete series;
    }
    // Output file of one run, stacked the first time it is asked for.
    static std::string stack(const std::string& name, const Recipe& recipe, int frames = kFrames)
    {
        const std::string path = series->dir.file(name);
        if (!std::filesystem::exists(path)) {
            const std::vector<std::string> files(series->files.begin(), series->files.begin() + frames);
            const e2e::RunOutcome outcome = e2e::runEngine(files, path, setup(recipe, mask));
            EXPECT_EQ(outcome.result, VELOSTAR_OK) << name;
            for (const VelostarFrameReport& report : outcome.reports)
                EXPECT_TRUE(report.used) << name;
        }
        return path;
    }
    static std::unique_ptr<velimage::Image16> stacked(const std::string& name, const Recipe& recipe,
                                                      int frames = kFrames)
    {
        return e2e::loadTiff(stack(name, recipe, frames));
    }
    static std::unique_ptr<velimage::Image16> loaded(int frame) { return e2e::loadTiff(series->files[frame]); }
    // Share of the satellite's light left in `image` (scaled to one frame). The stars along its
    // path count in every measure alike, so the trail-free base frame's are taken off.
    static double trailShare(const velimage::Image16& image, double scale)
    {
        const velsky::SkyGenerator& sky = series->generator;
        const velsky::Affine toBase = sky.frameToBase(kTrailFrame);
        const double stars = trailLight(*loaded(0), sky, toBase);
        const double trail = trailLight(*loaded(kTrailFrame), sky, velsky::Affine{}) - stars;
        EXPECT_GT(trail, 1e6);
        return (trailLight(image, sky, toBase) * scale - stars) / trail;
    }
    static SkySeries* series;
    static std::vector<uint8_t>* mask;
};
SkySeries* PerPixel::series = nullptr;
std::vector<uint8_t>* PerPixel::mask = nullptr;

// Iterated clipping at 2 s rejects good samples too (with 10 frames it costs about 17 % of the
// noise gain); at 2.5 s it costs about 2 %, which is what the noise comparison allows.
const Recipe kBest{1, false, false, false, 2.5f};
const Recipe kSum{0, false, false, false};
const Recipe kFrozen{2, true, true, false};

TEST_F(PerPixel, SelectBestPixelsRemovesTheSatelliteAndKeepsTheNoiseGainOfASum)
{
    const auto best = stacked("best.tif", kBest);
    const auto sum = stacked("sum.tif", kSum);
    ASSERT_TRUE(best && sum);
    // A plain sum keeps a tenth of the trail (the measure works); the clipped mean keeps none of it.
    EXPECT_GT(trailShare(*sum, 1.0 / kFrames), 0.07);
    EXPECT_LT(std::fabs(trailShare(*best, 1.0)), 0.01);

    const velsky::SkyGenerator& sky = series->generator;
    const velsky::RgbImage16 truth = sky.renderBaseSky();
    const double clipped = binnedSkyNoise(*best, 1.0, truth, sky);
    const double plain = binnedSkyNoise(*sum, 1.0 / kFrames, truth, sky);
    const double one = binnedSkyNoise(*loaded(0), 1.0, truth, sky);
    EXPECT_GT(one / plain, 2.5) << "the sum must reduce the noise for the comparison to mean anything";
    EXPECT_NEAR(clipped / plain, 1.0, 0.03) << "clipped " << clipped << " plain " << plain << " one " << one;
}

TEST_F(PerPixel, FreezeGroundKeepsTheGroundSharpAndStacksTheSkyLikeSelectBestPixels)
{
    // Fewer frames than the series has: freeze ground aligns with the costly complex model.
    constexpr int frames = 6;
    const auto frozen = stacked("frozen6.tif", kFrozen, frames);
    const auto sum = stacked("sum6.tif", kSum, frames);
    const auto base = loaded(0);
    ASSERT_TRUE(frozen && sum);
    const velsky::SkyGenerator& sky = series->generator;
    const velsky::RgbImage16 truth = sky.renderBaseSky();

    // The sum smears the ground with the sky's motion; freeze ground is as sharp as the base frame
    // and as quiet as a stack of every frame.
    velsky::RgbImage16 summedTruth = truth;
    for (auto& v : summedTruth.samples)
        v = static_cast<uint16_t>(std::min(65535, v * frames));
    const double one = groundError(*base, truth, sky);
    const double smeared = groundError(*sum, summedTruth, sky) / frames;
    const double frozenError = groundError(*frozen, truth, sky);
    EXPECT_LT(frozenError, one / std::sqrt(double(frames)) * 1.25) << "one frame " << one;
    EXPECT_GT(smeared, 2.0 * frozenError) << "the series must smear the ground for the test to mean anything";

    // The sky loses the satellite and gains like a stack, as "Select best pixels" does.
    EXPECT_LT(std::fabs(trailShare(*frozen, 1.0)), 0.01);
    const double skyOne = binnedSkyNoise(*base, 1.0, truth, sky);
    const double skySum = binnedSkyNoise(*sum, 1.0 / frames, truth, sky);
    EXPECT_GT(skyOne / binnedSkyNoise(*frozen, 1.0, truth, sky), 0.85 * skyOne / skySum);
}

TEST_F(PerPixel, FramesKeptInTemporaryFilesGiveTheSameBytesAsFramesKeptInMemory)
{
    for (const auto& [name, recipe] : {std::pair{"best4.tif", kBest}, std::pair{"frozen4.tif", kFrozen}}) {
        Recipe fileBacked = recipe;
        fileBacked.files = true;
        const std::string a = readAll(stack(name, recipe, 4));
        const std::string b = readAll(stack(std::string("files-") + name, fileBacked, 4));
        EXPECT_GT(a.size(), 600u * 400u * 6u);
        EXPECT_TRUE(a == b) << name;
    }
}

TEST_F(PerPixel, CancelDuringThePassReturnsFourAndLeavesNoTemporaryFile)
{
    veltest::TempDir out;
    VelostarImpl engine;
    engine.setBaseImage(veltest::widen(series->files[0]).c_str());
    for (int i = 1; i < 3; ++i)
        engine.addStarImage(veltest::widen(series->files[i]).c_str());
    engine.setOutputFile(out.wfile("cancelled.tif").c_str());
    Recipe frozenInFiles = kFrozen;
    frozenInFiles.files = true;
    setup(frozenInFiles, mask)(engine);
    std::atomic<int> jobs{0};
    engine.setStageFactory([&] {
        velrun::RunStages stages = velrun::defaultRunStages();
        // The first pass job to start cancels the run, then does its work as usual.
        stages.integrationPassJob = [&engine, &jobs, job = stages.integrationPassJob](velrun::RunContext& ctx,
                                                                                      velthread::FrameStore& store) {
            if (jobs++ == 0)
                engine.cancel();
            job(ctx, store);
        };
        return stages;
    });
    EXPECT_EQ(engine.run(), VELOSTAR_CANCELLED);
    EXPECT_GT(jobs.load(), 0);
    EXPECT_EQ(out.entryCount(), 0) << "temporary files left behind";
}

TEST_F(PerPixel, FullDiskWhileWritingTemporaryFilesFailsTheRunAndLeavesNoFile)
{
    veltest::TempDir out;
    // Every file write beyond 256 KiB fails, as on a full disk.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 256 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Recipe bestInFiles = kBest;
    bestInFiles.files = true;
    const std::vector<std::string> three(series->files.begin(), series->files.begin() + 3);
    const e2e::RunOutcome outcome = e2e::runEngine(three, out.file("full.tif"), setup(bestInFiles, mask));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(outcome.result, VELOSTAR_WRITE_FAILED);
    EXPECT_TRUE(outcome.has(29, 1));  // frames went to the saver before the disk ran full
    EXPECT_TRUE(outcome.has(33, 2));
    EXPECT_FALSE(outcome.has(57, 1));
    EXPECT_EQ(out.entryCount(), 0) << "files left behind";
}

}  // namespace
