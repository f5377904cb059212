// Trails composition of a 6000 × 4000 frame into the composite, in megapixels per second of wall
// time: plain, with the soft sky mask, and with the motion effect's fade before it.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "integration/TrailsComposition.h"
#include "parallel/ProcessPool.h"

namespace {

constexpr int32_t Width = 6000, Height = 4000;
constexpr double Megapixels = Width * static_cast<double>(Height) / 1e6;

struct Scene {
    velimage::Image16 base, frame;
    std::vector<uint16_t> mask;

    Scene() : mask(static_cast<size_t>(Width) * Height)
    {
        base.allocate(Width, Height, 3);
        frame.allocate(Width, Height, 3);
        uint32_t state = 7;
        for (size_t i = 0; i < base.elementCount(); ++i) {
            state = state * 1664525u + 1013904223u;
            base.data()[i] = static_cast<uint16_t>(state >> 20);
            frame.data()[i] = static_cast<uint16_t>(state >> 18);
        }
        // Sky above a sloping horizon with a soft edge.
        for (int32_t y = 0; y < Height; ++y)
            for (int32_t x = 0; x < Width; ++x) {
                const int32_t depth = y - (2800 + x / 20);
                mask[static_cast<size_t>(y) * Width + x] =
                    static_cast<uint16_t>(std::clamp(65535 - depth * 1000, 0, 65535));
            }
    }
};

const Scene& scene()
{
    static const Scene made;
    return made;
}

void compose(benchmark::State& state, bool masked, bool fade)
{
    velthread::ProcessPoolScope pool;
    const Scene& source = scene();
    velimage::AccumulationImage composite;
    composite.allocate(Width, Height, 3);
    std::copy_n(source.base.data(), source.base.elementCount(), composite.data());
    velimage::Image16 frame;
    frame.allocate(Width, Height, 3);
    veltone::RegionWeight region;
    if (masked)
        region.skyMask = source.mask.data();
    for (auto _ : state) {
        state.PauseTiming();
        std::copy_n(source.frame.data(), source.frame.elementCount(), frame.data());
        state.ResumeTiming();
        if (fade)
            velstack::blendTowardBase(frame, source.base, 3, 7);
        benchmark::DoNotOptimize(velstack::composeTrailFrame(composite, frame, region));
    }
    state.counters["Mpx/s"] = benchmark::Counter(Megapixels * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

void BM_TrailsPlain(benchmark::State& state) { compose(state, false, false); }
void BM_TrailsSkyMask(benchmark::State& state) { compose(state, true, false); }
void BM_TrailsMotionEffect(benchmark::State& state) { compose(state, false, true); }

BENCHMARK(BM_TrailsPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TrailsSkyMask)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TrailsMotionEffect)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
