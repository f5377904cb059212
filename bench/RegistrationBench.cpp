// Registration cost per frame on generated night skies that look like real ones: the camera's hot
// pixels, the default star density, sensor noise and a foreground. The whole analysis of one
// 6000 × 4000 frame (detection, pattern, one match and the fit against the base frame's pattern),
// also with the detection luminance made beforehand as a run's loader does, its stages one by one,
// and detection and matching on a clean and on a noisy high-ISO 3000 × 2000 night with the same
// stars (the noisy one should cost about the same). The frames go through a
// 16-bit TIFF and the loader, so detection sees the dark linear data a run sees.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "SkyFiles.h"
#include "SkyGenerator.h"
#include "CpuMeter.h"
#include "image/Image.h"
#include "image/ImageFiles.h"
#include "parallel/ProcessPool.h"
#include "registration/Alignment.h"
#include "registration/DistortionGrid.h"
#include "registration/StarDetector.h"
#include "registration/StarMatcher.h"
#include "registration/StarPattern.h"

#if __has_include("registration/DetectionGain.h")
#include "registration/DetectionGain.h"
#include "registration/StarCentre.h"
#include "registration/StarShape.h"
#define VELOSTAR_BENCH_FULL_ANALYSIS 1
#endif

namespace {

using velbench::CpuMeter;

struct Night {
    velimage::Image16 base;
    velimage::Image16 frame;
    velreg::StarPattern basePattern;
    velreg::StarList frameStars;
    velreg::StarPattern framePattern;
};

// The frame as a run holds it after loading: written as a 16-bit TIFF and read back with the
// default colour setting.
void toImage(const velsky::RgbImage16& rgb, velimage::Image16& image)
{
    const std::string path = "/tmp/velostar_regbench_" + std::to_string(getpid()) + ".tif";
    velsky::writeTiff16(path, rgb);
    const auto loaded = velimage::loadImage(std::wstring(path.begin(), path.end()), 1, 1);
    std::remove(path.c_str());
    if (!loaded) {
        std::fprintf(stderr, "cannot load %s\n", path.c_str());
        std::abort();
    }
    image.allocate(loaded->width(), loaded->height(), loaded->channels());
    const size_t rowSamples = static_cast<size_t>(loaded->width()) * loaded->channels();
    for (int32_t y = 0; y < loaded->height(); ++y)
        std::copy(loaded->row(y), loaded->row(y) + rowSamples, image.row(y));
}

uint32_t gainOf([[maybe_unused]] const velimage::Image16& frame)
{
#ifdef VELOSTAR_BENCH_FULL_ANALYSIS
    return velreg::detectionGain16(frame);
#else
    return 16;
#endif
}

// Detection as the run does it: with the frame's luminance gain, then trail points dropped.
void detectAsRun(const velimage::Image16& frame, velreg::StarList& stars)
{
#ifdef VELOSTAR_BENCH_FULL_ANALYSIS
    velreg::detectStars(frame, stars, nullptr, nullptr, 0, gainOf(frame));
    velreg::dropStreakPoints(frame, stars);
#else
    velreg::detectStars(frame, stars, nullptr, nullptr, 0);
#endif
}

velsky::SkyOptions nightOptions(int width, int height)
{
    velsky::SkyOptions o;
    o.width = width;
    o.height = height;
    o.frames = 2;
    o.seed = 7;
    o.foreground = true;
    return o;
}

// A brighter sky at a high gain: several times the noise of the default night, same stars.
velsky::SkyOptions noisyOptions(int width, int height)
{
    velsky::SkyOptions o = nightOptions(width, height);
    o.skyLevel = 4000;
    o.gain = 4.0;
    o.readNoise = 40;
    return o;
}

std::unique_ptr<Night> makeNight(const velsky::SkyOptions& options)
{
    auto night = std::make_unique<Night>();
    const velsky::SkyGenerator generator(options);
    toImage(generator.renderFrame(0), night->base);
    toImage(generator.renderFrame(1), night->frame);
    velreg::StarList stars;
    detectAsRun(night->base, stars);
    night->basePattern =
        velreg::buildStarPattern(stars, options.width, options.height, velreg::kPatternStars, velreg::kPatternGrid);
    detectAsRun(night->frame, night->frameStars);
    night->framePattern = velreg::buildStarPattern(night->frameStars, options.width, options.height,
                                                   velreg::kPatternStars, velreg::kPatternGrid);
#ifdef VELOSTAR_BENCH_FULL_ANALYSIS
    velreg::measureStarCentres(night->base, night->basePattern);
    velreg::measureStarCentres(night->frame, night->framePattern);
#endif
    return night;
}

Night& large()
{
    static const std::unique_ptr<Night> night = makeNight(nightOptions(6000, 4000));
    return *night;
}

Night& clean3000()
{
    static const std::unique_ptr<Night> night = makeNight(nightOptions(3000, 2000));
    return *night;
}

Night& noisy3000()
{
    static const std::unique_ptr<Night> night = makeNight(noisyOptions(3000, 2000));
    return *night;
}


velthread::ProcessPoolScope& pool()
{
    static velthread::ProcessPoolScope scope;
    return scope;
}

void detect(benchmark::State& state, Night& night)
{
    size_t found = 0;
    {
        CpuMeter meter(state);
        for (auto _ : state) {
            velreg::StarList stars;
            detectAsRun(night.frame, stars);
            found = stars.size();
        }
    }
    state.counters["stars"] = static_cast<double>(found);
    state.counters["gain16"] = gainOf(night.frame);
    state.counters["Mpx/s"] = benchmark::Counter(double(night.frame.width()) * night.frame.height() * 1e-6 *
                                                     static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

void BM_DetectStars(benchmark::State& state)
{
    pool();
    detect(state, large());
}

void BM_DetectStarsClean3000(benchmark::State& state)
{
    pool();
    detect(state, clean3000());
}

void BM_DetectStarsNoisy3000(benchmark::State& state)
{
    pool();
    detect(state, noisy3000());
}

void BM_BuildPattern(benchmark::State& state)
{
    pool();
    Night& night = large();
    CpuMeter meter(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(velreg::buildStarPattern(night.frameStars, night.frame.width(), night.frame.height(),
                                                          velreg::kPatternStars, velreg::kPatternGrid));
    state.counters["offered"] = static_cast<double>(night.frameStars.size());
}

void match(benchmark::State& state, Night& night)
{
    size_t pairs = 0;
    {
        CpuMeter meter(state);
        for (auto _ : state) {
            velreg::StarPairList list;
            velreg::matchStars(night.framePattern, night.basePattern, list);
            pairs = list.size();
        }
    }
    state.counters["pairs"] = static_cast<double>(pairs);
    state.counters["descriptors"] = night.framePattern.chosenCount();
}

void BM_MatchStars(benchmark::State& state)
{
    pool();
    match(state, large());
}

// Matching on a clean and on a noisy night with the same stars: the noisy pattern holds more stars
// without a partner, which should cost little.
void BM_MatchStarsClean3000(benchmark::State& state)
{
    pool();
    match(state, clean3000());
}

void BM_MatchStarsNoisy3000(benchmark::State& state)
{
    pool();
    match(state, noisy3000());
}

// What the run pipeline spends on one frame: detection, pattern, sub-pixel centres, one match and the
// fit with its refinement.
void BM_AnalyseFrame(benchmark::State& state)
{
    pool();
    Night& night = large();
    bool aligned = false;
    {
        CpuMeter meter(state);
        for (auto _ : state) {
            velreg::StarList stars;
            detectAsRun(night.frame, stars);
            velreg::StarPattern pattern = velreg::buildStarPattern(
                stars, night.frame.width(), night.frame.height(), velreg::kPatternStars, velreg::kPatternGrid);
#ifdef VELOSTAR_BENCH_FULL_ANALYSIS
            velreg::measureStarCentres(night.frame, pattern);
#endif
            velreg::MatrixF transform;
            aligned = velreg::alignPatterns(pattern, night.basePattern, transform);
        }
    }
    state.counters["aligned"] = aligned ? 1 : 0;
}

#ifdef VELOSTAR_BENCH_FULL_ANALYSIS
// The same with the detection luminance handed over, as a run's loader makes it while decoding.
void BM_AnalyseFrameGivenLuminance(benchmark::State& state)
{
    pool();
    Night& night = large();
    const int32_t width = night.frame.width();
    const uint32_t gain = gainOf(night.frame);
    velreg::PlaneBuffer<uint8_t> luminance;
    luminance.resize(static_cast<size_t>(width) * night.frame.height());
    for (int32_t y = 0; y < night.frame.height(); ++y)
        velreg::detectionLuminanceRow(night.frame.row(y), night.frame.channels(), width, gain,
                                      luminance.data() + static_cast<size_t>(y) * width);
    bool aligned = false;
    {
        CpuMeter meter(state);
        for (auto _ : state) {
            velreg::StarList stars;
            velreg::detectStars(night.frame, stars, nullptr, nullptr, 0, gain, &luminance);
            velreg::dropStreakPoints(night.frame, stars);
            velreg::StarPattern pattern = velreg::buildStarPattern(stars, width, night.frame.height(),
                                                                   velreg::kPatternStars, velreg::kPatternGrid);
            velreg::measureStarCentres(night.frame, pattern);
            velreg::MatrixF transform;
            aligned = velreg::alignPatterns(pattern, night.basePattern, transform);
        }
    }
    state.counters["aligned"] = aligned ? 1 : 0;
}
#endif

// The displacement grid (257 × 257 local fits) from 450 samples over the frame.
void BM_DistortionGrid(benchmark::State& state)
{
    pool();
    constexpr int32_t kWidth = 6000, kHeight = 4000;
    std::mt19937 random(3);
    std::vector<velreg::DisplacementSample> samples;
    for (int32_t k = 0; k < 450; ++k) {
        const float x = static_cast<float>(random() % kWidth), y = static_cast<float>(random() % kHeight);
        samples.push_back({x, y, 3.0f * x / kWidth + static_cast<float>(random() % 100) * 0.005f, -2.0f * y / kHeight});
    }
    CpuMeter meter(state);
    for (auto _ : state) {
        velreg::DistortionGrid grid;
        grid.reset();
        velreg::fillDistortionGrid(samples, kWidth, kHeight, grid);
        benchmark::DoNotOptimize(grid.nodes.data());
    }
}

}  // namespace

BENCHMARK(BM_DistortionGrid)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DetectStars)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BuildPattern)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MatchStars)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AnalyseFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef VELOSTAR_BENCH_FULL_ANALYSIS
BENCHMARK(BM_AnalyseFrameGivenLuminance)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
BENCHMARK(BM_DetectStarsClean3000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DetectStarsNoisy3000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MatchStarsClean3000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MatchStarsNoisy3000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
