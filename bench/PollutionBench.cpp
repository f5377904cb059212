// Light-pollution reduction of a generated 6000 × 4000 night sky (strong glow, foreground and
// its mask), in megapixels per second of wall time; the soft sky mask the aggressive grid is
// weighed by, both kinds and the aggressive grid, the grid with its smoothing in closed form and
// with the box means on integers. BM_SmoothingDeviation reports how far the two smoothings lie
// apart on this sky and on generated glows: in the background (working scale) and in the 16-bit
// output after the final tone conversion.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "SkyGenerator.h"
#include "corrections/FinalToneConversion.h"
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

// The q = 20 soft sky mask the aggressive variant is weighed by, made afresh as a run makes it.
void BM_SoftSkyMask(benchmark::State& state)
{
    velthread::ProcessPoolScope pool;
    const Scene& source = scene();
    double cpuSeconds = 0.0;
    for (auto _ : state) {
        velimage::Image16 soft;
        const double cpuStart = processCpuSeconds();
        benchmark::DoNotOptimize(veltone::makeSoftSkyMask(source.mask, 20, 1, soft));
        cpuSeconds += processCpuSeconds() - cpuStart;
    }
    const double megapixels = Megapixels * static_cast<double>(state.iterations());
    state.counters["Mpx/s"] = benchmark::Counter(megapixels, benchmark::Counter::kIsRate);
    state.counters["Mpx/cpu-s"] = cpuSeconds > 0 ? megapixels / cpuSeconds : 0.0;
}

void BM_DeepSky(benchmark::State& state) { run(state, {1, 0, false, 0}, false); }
void BM_Uneven(benchmark::State& state) { run(state, {2, 0, false, 0}, false); }
void BM_UnevenAggressiveMask(benchmark::State& state) { run(state, {2, 0, true, 0}, true); }
void BM_UnevenExact(benchmark::State& state) { run(state, {2, 0, false, 0, true}, false); }
void BM_UnevenAggressiveMaskExact(benchmark::State& state) { run(state, {2, 0, true, 0, true}, true); }

// Largest differences between the two smoothings of one image.
struct Deviation {
    int64_t background = 0;  // working scale
    int64_t lowestBias = 0, highestBias = 0;  // closed form − integer means, smallest and largest
    double sameShare = 0.0;  // of background values that agree exactly
    int64_t outputSteps = 0;  // 16-bit output after the final tone conversion
    double changedShare = 0.0;  // of 16-bit output values that differ at all
};

Deviation compare(const velimage::AccumulationImage& image, veltone::PollutionOptions options,
                  const veltone::PollutionRegion& region)
{
    Deviation d;
    velimage::AccumulationImage fast, exact;
    options.exactSmoothing = false;
    veltone::unevenPollutionBackground(image, options, region, fast);
    options.exactSmoothing = true;
    veltone::unevenPollutionBackground(image, options, region, exact);
    size_t same = 0;
    d.lowestBias = INT64_MAX;
    d.highestBias = INT64_MIN;
    for (size_t i = 0; i < fast.elementCount(); ++i) {
        const int64_t delta = static_cast<int64_t>(fast.data()[i]) - exact.data()[i];
        d.lowestBias = std::min(d.lowestBias, delta);
        d.highestBias = std::max(d.highestBias, delta);
        same += delta == 0;
    }
    d.background = std::max(-d.lowestBias, d.highestBias);
    d.sameShare = static_cast<double>(same) / static_cast<double>(fast.elementCount());
    velimage::AccumulationImage outputs[2];
    for (int k = 0; k < 2; ++k) {
        outputs[k].allocate(image.width(), image.height(), 3);
        std::memcpy(outputs[k].data(), image.data(), image.elementCount() * sizeof(uint32_t));
        options.exactSmoothing = k == 1;
        veltone::reduceLightPollution(outputs[k], options, region);
        veltone::ToneState tone{true, 1, 1.0f};
        velimage::MetadataList metadata;
        veltone::finalToneConversion(outputs[k], tone, options.colorSpace, metadata);
    }
    size_t changed = 0;
    for (size_t i = 0; i < image.elementCount(); ++i) {
        const int64_t steps = std::llabs(static_cast<int64_t>(outputs[0].data()[i]) - outputs[1].data()[i]);
        d.outputSteps = std::max(d.outputSteps, steps);
        changed += steps != 0;
    }
    d.changedShare = static_cast<double>(changed) / static_cast<double>(image.elementCount());
    return d;
}

// A generated glow (16-bit units over x, y in 0..1) over a dark sky with stars, working scale.
std::unique_ptr<velimage::AccumulationImage> glowImage(int32_t width, int32_t height,
                                                       const std::function<double(double, double)>& glow)
{
    velsky::SkyOptions o;
    o.width = width;
    o.height = height;
    o.frames = 1;
    o.pollution = 0.0;
    o.skyLevel = 500.0;
    const velsky::RgbImage16 frame = velsky::SkyGenerator(o).renderFrame(0);
    auto image = std::make_unique<velimage::AccumulationImage>();
    image->allocate(width, height, 3);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const double extra = glow(static_cast<double>(x) / width, static_cast<double>(y) / height);
            for (int32_t c = 0; c < 3; ++c)
                image->row(y)[3 * x + c] =
                    static_cast<uint32_t>(std::min(65535.0, frame.at(x, y, c) + extra * (1.0 + 0.2 * c)) * 256.0);
        }
    return image;
}

void BM_SmoothingDeviation(benchmark::State& state)
{
    velthread::ProcessPoolScope pool;
    const Scene& source = scene();
    veltone::PollutionRegion masked;
    masked.skyMask = &source.mask;
    masked.softMask = &source.softMask;
    struct Case {
        const char* name;
        const velimage::AccumulationImage* image;
        veltone::PollutionRegion region;
        bool aggressive;
    };
    const auto linear = glowImage(3000, 2000, [](double x, double y) { return 6000.0 * (x + y); });
    const auto corner = glowImage(3001, 1999, [](double x, double y) { return 20000.0 * x * x * y; });
    const auto dome = glowImage(2400, 1600, [](double x, double y) {
        const double dx = x - 0.6, dy = y - 1.0;
        return 30000.0 * std::exp(-(dx * dx + dy * dy) / 0.08);
    });
    const Case cases[] = {{"sky", &source.image, {}, false},
                          {"skyMask", &source.image, masked, true},
                          {"linear", linear.get(), {}, false},
                          {"corner", corner.get(), {}, false},
                          {"dome", dome.get(), {}, false}};
    for (auto _ : state) {
        for (const Case& c : cases)
            for (int32_t colorSpace : {0, 2}) {
                const Deviation d = compare(*c.image, {2, 0, c.aggressive, colorSpace}, c.region);
                const std::string name = std::string(c.name) + (colorSpace == 2 ? "Linear" : "Srgb");
                state.counters[name + "Bg"] = static_cast<double>(d.background);
                state.counters[name + "BiasLow"] = static_cast<double>(d.lowestBias);
                state.counters[name + "BiasHigh"] = static_cast<double>(d.highestBias);
                state.counters[name + "Same%"] = 100.0 * d.sameShare;
                state.counters[name + "Steps"] = static_cast<double>(d.outputSteps);
                state.counters[name + "Changed%"] = 100.0 * d.changedShare;
            }
    }
}

}  // namespace

BENCHMARK(BM_SoftSkyMask)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DeepSky)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Uneven)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnevenAggressiveMask)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnevenExact)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnevenAggressiveMaskExact)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SmoothingDeviation)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
