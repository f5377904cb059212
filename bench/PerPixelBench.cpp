// Throughput of the second pass of "Select best pixels" and "Freeze ground" alone: the pass jobs
// over an in-memory store of 3000 × 2000 entries, in megapixels times stored entries per second.
#include <benchmark/benchmark.h>

#include <ctime>

#include "PerPixelStages.h"
#include "VelostarImpl.h"
#include "integration/AccumulationArithmetic.h"
#include "parallel/MemoryFrameStore.h"
#include "parallel/ProcessPool.h"

namespace {

constexpr int32_t Width = 3000, Height = 2000;

// Sky noise about 1000 with a bright streak in one entry, every pixel covered; freeze ground also
// stores an unaligned copy after each aligned entry.
std::unique_ptr<velthread::MemoryFrameStore> makeStore(int32_t frames, bool freezeGround, uint32_t seed)
{
    auto store = std::make_unique<velthread::MemoryFrameStore>(Width, Height);
    // Cheap noise (sum of four uniform steps, spread about 25): setting up is not what is measured.
    uint32_t state = seed;
    const auto noise = [&state] {
        int32_t sum = 0;
        for (int i = 0; i < 4; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            sum += static_cast<int32_t>(state & 63);
        }
        return 1000.0f + static_cast<float>(sum - 126) * 0.7f;
    };
    const int32_t entries = freezeGround ? 2 * frames - 1 : frames;
    for (int32_t e = 0; e < entries; ++e) {
        auto image = std::make_unique<velimage::PostWeightedImage>();
        image->allocate(Width, Height, 4);
        for (int32_t y = 0; y < Height; ++y) {
            uint16_t* p = image->row(y);
            for (int32_t x = 0; x < Width; ++x, p += 4) {
                const float streak = (e == 1 && std::abs(y - x / 3) < 3) ? 20000.0f : 0.0f;
                p[0] = p[1] = p[2] = static_cast<uint16_t>(std::max(0.0f, noise() + streak));
                p[3] = 3;
            }
        }
        const int32_t marker = e == 0 ? 3 : (freezeGround && e % 2 == 0) ? 1 : 2;
        store->add(marker, std::move(image));
    }
    return store;
}

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void runPass(benchmark::State& state, bool freezeGround)
{
    velthread::ProcessPoolScope pool;
    const int32_t frames = static_cast<int32_t>(state.range(0));
    auto store = makeStore(frames, freezeGround, 7);
    VelostarImpl engine;
    EngineSettings settings;
    settings.integrationMode = freezeGround ? 2 : 1;
    settings.freezeGroundSelective = true;
    velrun::RunContext ctx(engine, settings);
    ctx.composed = frames;
    auto base = std::make_unique<velimage::Image16>();
    base->allocate(Width, Height, 3);
    std::fill_n(base->data(), base->elementCount(), uint16_t{1000});
    velstack::startFromBase(ctx.accumulation, *base);
    ctx.reference = std::move(base);
    velrun::RunStages stages;
    velrun::addPerPixelStages(stages);
    // Half sky, half ground, so that freeze ground runs both of its parts.
    ctx.gradient[0] = 0;
    ctx.gradient[1] = Height / 2;
    ctx.gradient[2] = Width;
    ctx.gradientExtent = 200;

    velthread::ThreadPool& threads = *velthread::processPool();
    double cpuSeconds = 0.0;
    for (auto _ : state) {
        const double cpuStart = processCpuSeconds();
        if (!stages.prepareIntegration(ctx) ||
            !store->startPass(threads, threads.threadCount(),
                              [&](velthread::FrameStore& s) { stages.integrationPassJob(ctx, s); })) {
            state.SkipWithError("the pass did not start");
            return;
        }
        int32_t share = 0;
        while (!store->waitPass(share)) {
        }
        cpuSeconds += processCpuSeconds() - cpuStart;
    }
    const double work = double(Width) * Height * double(store->frameCount()) / 1e6 * double(state.iterations());
    state.counters["Mpx*frames/s"] = benchmark::Counter(work, benchmark::Counter::kIsRate);
    // Per CPU second of all threads: on a shared machine, times the core count, the steadier figure.
    state.counters["Mpx*frames/cpu-s"] = cpuSeconds > 0 ? work / cpuSeconds : 0.0;
}

void BM_SelectBestPixelsPass(benchmark::State& state) { runPass(state, false); }
void BM_FreezeGroundPass(benchmark::State& state) { runPass(state, true); }

BENCHMARK(BM_SelectBestPixelsPass)->ArgName("frames")->Arg(10)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FreezeGroundPass)->ArgName("frames")->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
