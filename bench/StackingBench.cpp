// Throughput of warping, accumulating and the finishing stages on a 6000 × 4000 frame, in
// megapixels per second of the output (wall time: the work runs on the process pool).
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <random>

#include "corrections/BrightnessAdjuster.h"
#include "corrections/DynamicRange.h"
#include "corrections/FinalToneConversion.h"
#include "corrections/MergePixels.h"
#include "corrections/StarLightEnhancer.h"
#include "integration/AccumulationArithmetic.h"
#include "integration/FrameWarper.h"
#include "parallel/ProcessPool.h"

namespace {

constexpr int32_t Width = 6000, Height = 4000;
constexpr double Megapixels = Width * static_cast<double>(Height) / 1e6;

const velimage::Image<uint16_t>& frame()
{
    static velimage::Image<uint16_t> image;
    if (image.empty()) {
        image.allocate(Width, Height, 3);
        std::mt19937 random(1);
        for (size_t i = 0; i < image.elementCount(); ++i)
            image.data()[i] = static_cast<uint16_t>(random() & 0x3FFF);
    }
    return image;
}

velstack::WarpModel model(int mode)
{
    velstack::WarpModel warp;
    const float forward[9] = {0.99985f, -0.0175f, 12.3f, 0.0175f, 0.99985f, -7.7f, 0, 0, 1};
    warp.setFromForward(forward);
    warp.mode = mode;
    warp.setCentre(Width, Height);
    warp.k1 = mode == 1 ? 1e-9f : 0.0f;
    static std::vector<float> nodes(257 * 257 * 2, 0.25f);
    warp.grid = {nodes.data(), 257, 257, Width * 1.01f / 256, Height * 1.01f / 256};
    return warp;
}

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Mpx/s of wall time, and Mpx per CPU second of all threads: on a shared machine the second,
// times the core count, is the steadier estimate of what the pool reaches when it has the cores.
void setRate(benchmark::State& state, double cpuSeconds)
{
    const double megapixels = Megapixels * static_cast<double>(state.iterations());
    state.counters["Mpx/s"] = benchmark::Counter(megapixels, benchmark::Counter::kIsRate);
    state.counters["Mpx/cpu-s"] = cpuSeconds > 0 ? megapixels / cpuSeconds : 0.0;
}

void BM_AccumulateFrame(benchmark::State& state)
{
    velthread::ProcessPoolScope pool;
    const velstack::WarpModel warp = model(static_cast<int>(state.range(0)));
    const velstack::GradientRamp ramp(0, 0, 6000, 4000, 2000.0f);
    const bool gradient = state.range(1) != 0;
    velimage::AccumulationImage sum;
    velstack::accumulateFrame(frame(), warp, sum);  // source made and target touched outside the timing
    const double cpuStart = processCpuSeconds();
    for (auto _ : state)
        benchmark::DoNotOptimize(velstack::accumulateFrame(frame(), warp, sum, gradient ? &ramp : nullptr));
    setRate(state, processCpuSeconds() - cpuStart);
}
BENCHMARK(BM_AccumulateFrame)->ArgNames({"mode", "gradient"})->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({2, 0})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WarpSecondPass(benchmark::State& state)
{
    velthread::ProcessPoolScope pool;
    const velstack::WarpModel warp = model(0);
    velimage::Image<uint16_t> out;
    velstack::warpForSecondPass(frame(), warp, out, false);
    const double cpuStart = processCpuSeconds();
    for (auto _ : state)
        benchmark::DoNotOptimize(velstack::warpForSecondPass(frame(), warp, out, false));
    setRate(state, processCpuSeconds() - cpuStart);
}
BENCHMARK(BM_WarpSecondPass)->Unit(benchmark::kMillisecond)->UseRealTime();

// An integrated image of four frames' sums, recreated before every timed stage.
const velimage::AccumulationImage& integrated()
{
    static velimage::AccumulationImage image;
    if (image.empty()) {
        velstack::startFromBase(image, frame());
        for (size_t i = 0; i < image.elementCount(); ++i)
            image.data()[i] *= 4;
        image.weights()[0] = 0.5f;
        image.setMaxWeight(1.0f);
    }
    return image;
}

void restore(velimage::AccumulationImage& image)
{
    const velimage::AccumulationImage& source = integrated();
    image.allocate(source.width(), source.height(), 3);
    std::memcpy(image.data(), source.data(), source.elementCount() * sizeof(uint32_t));
    std::memcpy(image.weights(), source.weights(), static_cast<size_t>(Width) * Height * sizeof(float));
    image.setMaxWeight(source.maxWeight());
    image.setNormalized(false);
}

template <typename Stage>
void runStage(benchmark::State& state, bool working, Stage stage)
{
    velthread::ProcessPoolScope pool;
    velimage::AccumulationImage image;
    double cpuSeconds = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        restore(image);
        veltone::ToneState tone;
        tone.frameCount = 4;
        if (working) {
            velstack::normalize(image);
            veltone::ensureWorkingScale(image, tone);
        }
        state.ResumeTiming();
        const double cpuStart = processCpuSeconds();
        stage(image, tone);
        cpuSeconds += processCpuSeconds() - cpuStart;
    }
    setRate(state, cpuSeconds);
}

void BM_Normalize(benchmark::State& state)
{
    runStage(state, false, [](auto& image, auto&) { velstack::normalize(image); });
}
void BM_WorkingScale(benchmark::State& state)
{
    runStage(state, false, [](auto& image, auto& tone) { veltone::ensureWorkingScale(image, tone); });
}
void BM_MergePixels(benchmark::State& state)
{
    runStage(state, true, [](auto& image, auto& tone) { veltone::mergePixels(image, tone); });
}
void BM_EnhanceStarLight(benchmark::State& state)
{
    runStage(state, true, [](auto& image, auto&) { veltone::enhanceStarLight(image, 1.5f); });
}
void BM_AutoBrightness(benchmark::State& state)
{
    runStage(state, true, [](auto& image, auto& tone) { veltone::adjustBrightness(image, tone, {}); });
}
void BM_HighDynamicRange(benchmark::State& state)
{
    runStage(state, true, [](auto& image, auto& tone) { veltone::adjustDynamicRange(image, tone, false); });
}
void BM_HighDynamicRangeCurve(benchmark::State& state)
{
    runStage(state, true, [](auto& image, auto& tone) { veltone::adjustDynamicRange(image, tone, true); });
}
void BM_FinalConversion(benchmark::State& state)
{
    const int space = static_cast<int>(state.range(0));
    runStage(state, true, [space](auto& image, auto& tone) {
        velimage::MetadataList metadata;
        veltone::finalToneConversion(image, tone, space, metadata);
    });
}
void BM_Output16(benchmark::State& state)
{
    velimage::Image<uint16_t> out;
    runStage(state, true, [&out](auto& image, auto&) { velstack::toOutput16(image, out, 0); });
}

BENCHMARK(BM_Normalize)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WorkingScale)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MergePixels)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EnhanceStarLight)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AutoBrightness)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HighDynamicRange)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HighDynamicRangeCurve)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FinalConversion)->ArgName("colorSpace")->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Output16)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
