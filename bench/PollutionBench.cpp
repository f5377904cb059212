// Light-pollution reduction of a generated 6000 × 4000 night sky (strong glow, foreground and
// its mask), in megapixels per second of wall time; both kinds and the aggressive grid.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>

#include "SkyGenerator.h"
#include "corrections/LightPollution.h"
#include "corrections/SoftSkyMask.h"
#include "parallel/ProcessPool.h"

namespace {

constexpr int32_t Width = 6000, Height = 4000;
constexpr double Megapixels = Width * static_cast<double>(Height) / 1e6;

struct Scene {
    velimage::AccumulationImage image;  // working scale
    velimage::Image16 mask, softMask;

    Scene()
    {
        velsky::SkyOptions o;
        o.width = Width;
        o.height = Height;
        o.frames = 1;
        o.pollution = 3.0;
        o.foreground = true;
        const velsky::SkyGenerator sky(o);
        const velsky::RgbImage16 frame = sky.renderFrame(0);
        image.allocate(Width, Height, 3);
        for (size_t i = 0; i < image.elementCount(); ++i)
            image.data()[i] = static_cast<uint32_t>(frame.samples[i]) << 8;
        mask.allocate(Width, Height, 1);
        const std::vector<uint8_t> rgb = sky.maskRgb();
        for (size_t i = 0; i < mask.elementCount(); ++i)
            mask.data()[i] = rgb[i * 3 + 1] ? 65535 : 0;
        veltone::makeSoftSkyMask(mask, 20, 1, softMask);
    }
};

const Scene& scene()
{
    static const Scene made;
    return made;
}

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void run(benchmark::State& state, const veltone::PollutionOptions& options, bool withMask)
{
    velthread::ProcessPoolScope pool;
    const Scene& source = scene();
    veltone::PollutionRegion region;
    if (withMask) {
        region.skyMask = &source.mask;
        region.softMask = &source.softMask;
    }
    velimage::AccumulationImage image;
    image.allocate(Width, Height, 3);
    double cpuSeconds = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(image.data(), source.image.data(), source.image.elementCount() * sizeof(uint32_t));
        state.ResumeTiming();
        const double cpuStart = processCpuSeconds();
        benchmark::DoNotOptimize(veltone::reduceLightPollution(image, options, region));
        cpuSeconds += processCpuSeconds() - cpuStart;
    }
    const double megapixels = Megapixels * static_cast<double>(state.iterations());
    state.counters["Mpx/s"] = benchmark::Counter(megapixels, benchmark::Counter::kIsRate);
    state.counters["Mpx/cpu-s"] = cpuSeconds > 0 ? megapixels / cpuSeconds : 0.0;
}

void BM_DeepSky(benchmark::State& state) { run(state, {1, 0, false, 0}, false); }
void BM_Uneven(benchmark::State& state) { run(state, {2, 0, false, 0}, false); }
void BM_UnevenAggressiveMask(benchmark::State& state) { run(state, {2, 0, true, 0}, true); }

}  // namespace

BENCHMARK(BM_DeepSky)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Uneven)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnevenAggressiveMask)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
