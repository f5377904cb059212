// Registration cost per frame on generated night skies that look like real ones: the camera's hot
// pixels, the default star density, sensor noise and a foreground. The whole analysis of one
// 6000 × 4000 frame (detection, pattern, one match and the fit against the base frame's pattern),
// its stages one by one, and detection on a clean and on a noisy high-ISO 3000 × 2000 night with
// the same stars (the noisy one should cost about the same).
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <random>

#include "SkyGenerator.h"
#include "image/Image.h"
#include "parallel/ProcessPool.h"
#include "registration/Alignment.h"
#include "registration/DistortionGrid.h"
#include "registration/StarDetector.h"
#include "registration/StarMatcher.h"
#include "registration/StarPattern.h"

namespace {

struct Night {
    velimage::Image16 base;
    velimage::Image16 frame;
    velreg::StarPattern basePattern;
    velreg::StarList frameStars;
    velreg::StarPattern framePattern;
};

void toImage(const velsky::RgbImage16& rgb, velimage::Image16& image)
{
    image.allocate(rgb.width, rgb.height, 3);
    std::copy(rgb.samples.begin(), rgb.samples.end(), image.data());
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
    velreg::detectStars(night->base, stars, nullptr, nullptr, 0);
    night->basePattern =
        velreg::buildStarPattern(stars, options.width, options.height, velreg::kPatternStars, velreg::kPatternGrid);
    velreg::detectStars(night->frame, night->frameStars, nullptr, nullptr, 0);
    night->framePattern = velreg::buildStarPattern(night->frameStars, options.width, options.height,
                                                   velreg::kPatternStars, velreg::kPatternGrid);
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

// Process CPU time (all threads) in milliseconds: on a shared machine the wall time says little, while
// CPU time / thread count is what the stage costs on idle cores.
double processCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-3;
}

struct CpuMeter {
    explicit CpuMeter(benchmark::State& state) : m_state(state), m_start(processCpuMs()) {}
    ~CpuMeter() { m_state.counters["cpu_ms"] = (processCpuMs() - m_start) / static_cast<double>(m_state.iterations()); }
    benchmark::State& m_state;
    double m_start;
};

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
            velreg::detectStars(night.frame, stars, nullptr, nullptr, 0);
            found = stars.size();
        }
    }
    state.counters["stars"] = static_cast<double>(found);
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

void BM_MatchStars(benchmark::State& state)
{
    pool();
    Night& night = large();
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
}

// What the run pipeline spends on one frame: detection, pattern, one match and the fit.
void BM_AnalyseFrame(benchmark::State& state)
{
    pool();
    Night& night = large();
    bool aligned = false;
    {
        CpuMeter meter(state);
        for (auto _ : state) {
            velreg::StarList stars;
            velreg::detectStars(night.frame, stars, nullptr, nullptr, 0);
            const velreg::StarPattern pattern = velreg::buildStarPattern(
                stars, night.frame.width(), night.frame.height(), velreg::kPatternStars, velreg::kPatternGrid);
            velreg::MatrixF transform;
            aligned = velreg::alignPatterns(pattern, night.basePattern, transform);
        }
    }
    state.counters["aligned"] = aligned ? 1 : 0;
}

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
BENCHMARK(BM_DetectStarsClean3000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DetectStarsNoisy3000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
