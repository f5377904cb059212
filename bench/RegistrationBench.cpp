// Registration throughput on a 6000 × 4000 frame with about 2000 stars: detection, pattern building,
// matching and the whole per-frame registration (detect + pattern + match + fit).
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <array>
#include <cmath>
#include <random>

#include "image/Image.h"
#include "parallel/ProcessPool.h"
#include "registration/Alignment.h"
#include "registration/DistortionGrid.h"
#include "registration/StarDetector.h"
#include "registration/StarMatcher.h"
#include "registration/StarPattern.h"

namespace {

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr int32_t kStars = 2000;

struct Scene {
    velimage::Image16 reference;
    velimage::Image16 frame;
    velreg::StarPattern referencePattern;
    velreg::StarList frameStars;
    velreg::StarPattern framePattern;
};

// Gaussian stars on a flat sky; the frame is the reference turned by 0.3 degrees about a pole above the
// frame and shifted.
void render(velimage::Image16& image, const std::vector<std::array<double, 3>>& stars)
{
    image.allocate(kWidth, kHeight, 3);
    std::vector<float> plane(static_cast<size_t>(kWidth) * kHeight, 2600.0f);
    for (const auto& [sx, sy, amplitude] : stars) {
        const int32_t cx = static_cast<int32_t>(sx), cy = static_cast<int32_t>(sy);
        for (int32_t y = std::max(cy - 6, 0); y <= std::min(cy + 6, kHeight - 1); ++y)
            for (int32_t x = std::max(cx - 6, 0); x <= std::min(cx + 6, kWidth - 1); ++x) {
                const double dx = x - sx, dy = y - sy;
                plane[static_cast<size_t>(y) * kWidth + x] += static_cast<float>(amplitude * std::exp(-(dx * dx + dy * dy) / 3.2));
            }
    }
    std::mt19937 noise(5);
    for (size_t k = 0; k < plane.size(); ++k) {
        const uint16_t v = static_cast<uint16_t>(std::min(plane[k] + static_cast<float>(noise() % 64), 65535.0f));
        image.data()[3 * k] = image.data()[3 * k + 1] = image.data()[3 * k + 2] = v;
    }
}

Scene& scene()
{
    static Scene* built = [] {
        auto* s = new Scene;
        std::mt19937 random(17);
        std::uniform_real_distribution<double> ux(-300, kWidth + 300), uy(-300, kHeight + 300), amp(0, 1);
        std::vector<std::array<double, 3>> reference, frame;
        const double angle = 0.3 * M_PI / 180, c = std::cos(angle), sn = std::sin(angle);
        for (int32_t k = 0; k < kStars * 11 / 10; ++k) {
            const double x = ux(random), y = uy(random), a = 12000 + 40000 * std::pow(amp(random), 2);
            reference.push_back({x, y, a});
            const double px = x - 3000, py = y + 20000;
            frame.push_back({c * px - sn * py + 3000 + 14, sn * px + c * py - 20000 - 9, a});
        }
        render(s->reference, reference);
        render(s->frame, frame);
        velreg::StarList stars;
        velreg::detectStars(s->reference, stars, nullptr, nullptr, 0);
        s->referencePattern = velreg::buildStarPattern(stars, kWidth, kHeight, velreg::kPatternStars, velreg::kPatternGrid);
        velreg::detectStars(s->frame, s->frameStars, nullptr, nullptr, 0);
        s->framePattern = velreg::buildStarPattern(s->frameStars, kWidth, kHeight, velreg::kPatternStars, velreg::kPatternGrid);
        return s;
    }();
    return *built;
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

void BM_DetectStars(benchmark::State& state)
{
    pool();
    Scene& s = scene();
    CpuMeter meter(state);
    size_t found = 0;
    for (auto _ : state) {
        velreg::StarList stars;
        velreg::detectStars(s.frame, stars, nullptr, nullptr, 0);
        found = stars.size();
    }
    state.counters["stars"] = static_cast<double>(found);
    state.counters["Mpx/s"] = benchmark::Counter(double(kWidth) * kHeight * 1e-6 * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_BuildPattern(benchmark::State& state)
{
    pool();
    Scene& s = scene();
    CpuMeter meter(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(velreg::buildStarPattern(s.frameStars, kWidth, kHeight, velreg::kPatternStars, velreg::kPatternGrid));
    state.counters["offered"] = static_cast<double>(s.frameStars.size());
}

void BM_MatchStars(benchmark::State& state)
{
    pool();
    Scene& s = scene();
    CpuMeter meter(state);
    size_t pairs = 0;
    for (auto _ : state) {
        velreg::StarPairList list;
        velreg::matchStars(s.framePattern, s.referencePattern, list);
        pairs = list.size();
    }
    state.counters["pairs"] = static_cast<double>(pairs);
}

void BM_RegisterFrame(benchmark::State& state)
{
    pool();
    Scene& s = scene();
    CpuMeter meter(state);
    bool aligned = false;
    for (auto _ : state) {
        velreg::StarList stars;
        velreg::detectStars(s.frame, stars, nullptr, nullptr, 0);
        const velreg::StarPattern pattern =
            velreg::buildStarPattern(stars, kWidth, kHeight, velreg::kPatternStars, velreg::kPatternGrid);
        velreg::MatrixF transform;
        aligned = velreg::alignPatterns(pattern, s.referencePattern, transform);
    }
    state.counters["aligned"] = aligned ? 1 : 0;
    state.counters["Mpx/s"] = benchmark::Counter(double(kWidth) * kHeight * 1e-6 * state.iterations(), benchmark::Counter::kIsRate);
}

// The displacement grid (257 × 257 local fits) from 450 samples over the frame.
void BM_DistortionGrid(benchmark::State& state)
{
    pool();
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
BENCHMARK(BM_RegisterFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
