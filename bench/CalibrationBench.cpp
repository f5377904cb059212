// Frame calibration on a 6000 × 4000 frame: dynamic hot-pixel removal and the flat field (direct and
// transposed, and the one-off turn of the map) as passes of their own, and the same done while the
// frame is decoded from a 16-bit TIFF (against a plain decode), next to the frame's analysis (star
// detection and pattern, with its luminance made here or while decoding) for scale; and the noise
// subtraction while decoding.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <random>

#include <unistd.h>

#include <memory>
#include <string>

#include "DecodeCalibration.h"
#include "NoiseImage.h"
#include "corrections/FlatField.h"
#include "corrections/HotPixelRemoval.h"
#include "CpuMeter.h"
#include "image/Image.h"
#include "image/ImageFiles.h"
#include "image/TiffWriter.h"
#include "parallel/ProcessPool.h"
#include "registration/DetectionGain.h"
#include "registration/StarDetector.h"
#include "registration/StarPattern.h"

namespace {

using velbench::CpuMeter;
using velbench::processCpuMs;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;
constexpr double kMegapixels = double(kWidth) * kHeight * 1e-6;


velthread::ProcessPoolScope& pool()
{
    static velthread::ProcessPoolScope scope;
    return scope;
}

// A sky of 2600 with noise, 2000 Gaussian stars and 500 single-channel hot pixels.
const velimage::Image16& frame()
{
    static velimage::Image16* built = [] {
        auto* image = new velimage::Image16;
        image->allocate(kWidth, kHeight, 3);
        std::mt19937 random(11);
        for (size_t i = 0; i < image->elementCount(); ++i)
            image->data()[i] = static_cast<uint16_t>(2600 + random() % 64);
        for (int32_t k = 0; k < 2000; ++k) {
            const double sx = random() % kWidth, sy = random() % kHeight, amplitude = 12000 + random() % 40000;
            for (int32_t y = std::max(0, int32_t(sy) - 6); y <= std::min(kHeight - 1, int32_t(sy) + 6); ++y)
                for (int32_t x = std::max(0, int32_t(sx) - 6); x <= std::min(kWidth - 1, int32_t(sx) + 6); ++x) {
                    const double light = amplitude * std::exp(-((x - sx) * (x - sx) + (y - sy) * (y - sy)) / 3.2);
                    for (int32_t c = 0; c < 3; ++c) {
                        uint16_t& v = image->row(y)[3 * x + c];
                        v = static_cast<uint16_t>(std::min(65535.0, v + light));
                    }
                }
        }
        for (int32_t k = 0; k < 500; ++k)
            image->row(2 + random() % (kHeight - 4))[3 * (2 + random() % (kWidth - 4)) + random() % 3] = 30000;
        return image;
    }();
    return *built;
}

// The same under a strong colour cast (red up, blue down), where every sky pixel passes the colour
// test and the pre-test of the hot-pixel search lets whole rows through.
const velimage::Image16& tintedFrame()
{
    static velimage::Image16* built = [] {
        auto* image = new velimage::Image16;
        image->allocate(kWidth, kHeight, 3);
        const velimage::Image16& plain = frame();
        for (size_t i = 0; i < image->elementCount(); i += 3) {
            image->data()[i] = static_cast<uint16_t>(std::min(65535.0, plain.data()[i] * 2.3));
            image->data()[i + 1] = plain.data()[i + 1];
            image->data()[i + 2] = static_cast<uint16_t>(plain.data()[i + 2] * 0.54);
        }
        return image;
    }();
    return *built;
}

void copyFrame(velimage::Image16& to, bool tinted = false)
{
    const velimage::Image16& from = tinted ? tintedFrame() : frame();
    to.allocate(from.width(), from.height(), 3);
    std::copy_n(from.data(), from.elementCount(), to.data());
}

// Gains of a lens that loses 35 % at the corners, `width` × `height`.
void fillGains(veltone::GainMap& map, int32_t width, int32_t height)
{
    map.allocate(width, height, 1);
    const double half2 = (double(width) * width + double(height) * height) / 4;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const double dx = x - width / 2.0, dy = y - height / 2.0, r2 = (dx * dx + dy * dy) / half2;
            map.row(y)[x] = static_cast<uint32_t>(65536.0 / (1.0 - 0.35 * r2 * (0.6 + 0.4 * r2)));
        }
}

// Gains as a run makes them from flat frames of such a lens: about 1.0 on average (below it at the
// centre), 0.4 % of noise, 240 hot pixels of the flat frames with a gain of 0.3 and 240 dark ones with
// a gain of 2.0, as on the generator's flats: too far apart for one 16-bit offset range.
void fillFlatGains(veltone::GainMap& map, int32_t width, int32_t height)
{
    fillGains(map, width, height);
    std::mt19937 random(7);
    for (size_t i = 0; i < map.elementCount(); ++i)
        map.data()[i] = static_cast<uint32_t>(map.data()[i] * (0.8 + 0.008 * ((random() % 1001) / 1000.0 - 0.5)));
    for (int32_t k = 0; k < 480; ++k)
        map.row(static_cast<int32_t>(random() % height))[random() % width] = k % 2 ? 19660 : 131072;
}

void BM_AnalyzeFrame(benchmark::State& state)
{
    pool();
    const velimage::Image16& image = frame();
    CpuMeter meter(state);
    for (auto _ : state) {
        velreg::StarList stars;
        velreg::detectStars(image, stars, nullptr, nullptr, 0);
        benchmark::DoNotOptimize(velreg::buildStarPattern(stars, kWidth, kHeight, velreg::kPatternStars, velreg::kPatternGrid));
    }
    state.counters["Mpx/s"] = benchmark::Counter(kMegapixels * state.iterations(), benchmark::Counter::kIsRate);
}

// The analysis at the frame's own gain, its luminance made by the detection (0) or beforehand, as the
// loader makes it while decoding (1).
void BM_AnalyzeGainedFrame(benchmark::State& state)
{
    pool();
    const velimage::Image16& image = frame();
    const uint32_t gain = velreg::detectionGain16(image);
    velreg::PlaneBuffer<uint8_t> luminance;
    const bool given = state.range(0) != 0;
    if (given) {
        luminance.resize(static_cast<size_t>(kWidth) * kHeight);
        for (int32_t y = 0; y < kHeight; ++y)
            velreg::detectionLuminanceRow(image.row(y), 3, kWidth, gain, luminance.data() + static_cast<size_t>(y) * kWidth);
    }
    CpuMeter meter(state);
    for (auto _ : state) {
        velreg::StarList stars;
        velreg::detectStars(image, stars, nullptr, nullptr, 0, given ? gain : velreg::detectionGain16(image),
                            given ? &luminance : nullptr);
        benchmark::DoNotOptimize(velreg::buildStarPattern(stars, kWidth, kHeight, velreg::kPatternStars, velreg::kPatternGrid));
    }
    state.counters["gain16"] = gain;
}

// The frame as a 16-bit TIFF, written once.
const std::wstring& frameFile()
{
    static const std::wstring path = [] {
        const std::string name = "/tmp/velostar_calbench_" + std::to_string(getpid()) + ".tif";
        const std::wstring wide(name.begin(), name.end());
        if (!velimage::writeTiff16(frame(), wide))
            std::abort();
        std::atexit([] { std::remove(("/tmp/velostar_calbench_" + std::to_string(getpid()) + ".tif").c_str()); });
        return wide;
    }();
    return path;
}

// A noise image from three dark frames: a level of 200 with noise and 400 hot samples each.
std::shared_ptr<const velrun::NoiseImage> noiseImage()
{
    static const auto built = [] {
        auto noise = std::make_shared<velrun::NoiseImage>();
        std::mt19937 random(5);
        velimage::Image16 dark;
        dark.allocate(kWidth, kHeight, 3);
        for (int32_t k = 0; k < 3; ++k) {
            for (size_t i = 0; i < dark.elementCount(); ++i)
                dark.data()[i] = static_cast<uint16_t>(200 + random() % 40);
            for (int32_t h = 0; h < 400; ++h)
                dark.row(2 + random() % (kHeight - 4))[3 * (2 + random() % (kWidth - 4)) + random() % 3] = 20000;
            noise->add(dark);
        }
        noise->analyze();
        return noise;
    }();
    return built;
}

// Decoding the TIFF with the row work of the loader: 0 none, 1 hot pixels, 2 flat field, 3 both, 4 both
// and the detection luminance, 5 noise subtraction, 6 all of them. The cost of a step is its time above
// the plain decode.
void BM_DecodeCalibrated(benchmark::State& state)
{
    pool();
    const int64_t steps = state.range(0);
    auto plan = std::make_shared<velrun::DecodeCalibrationPlan>();
    if (steps >= 5)
        plan->noise = noiseImage();
    plan->hotPixels = steps == 1 || steps == 3 || steps == 4 || steps == 6;
    if ((steps >= 2 && steps <= 4) || steps == 6) {
        auto gains = std::make_shared<veltone::GainMap>();
        fillFlatGains(*gains, kWidth, kHeight);
        plan->gains = gains;
        // As a run holds them: in 16-bit offsets where they fit.
        auto compact = std::make_shared<veltone::CompactGains>();
        if (veltone::makeCompactGains(*gains, *compact))
            plan->compactGains = compact;
    }
    plan->luminance = steps == 4 || steps == 6;
    plan->expectedGain16 = velreg::detectionGain16(frame());
    const std::wstring& path = frameFile();
    bool kept = true;
    CpuMeter meter(state);
    for (auto _ : state) {
        velrun::RowCalibration rows(plan);
        auto image = velimage::loadImage(path, 1, velthread::partCount(), {}, steps > 0 ? &rows : nullptr);
        kept = image && (!plan->luminance || rows.luminance());  // the first frame teaches the plan its gain
    }
    state.counters["kept"] = kept ? 1 : 0;
    state.counters["compact"] = plan->compactGains ? 1 : 0;
    state.counters["Mpx/s"] = benchmark::Counter(kMegapixels * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_RemoveHotPixels(benchmark::State& state)
{
    pool();
    const bool tinted = state.range(0) != 0;
    velimage::Image16 image;
    int64_t replaced = 0;
    double copyMs = 0;
    CpuMeter meter(state);
    for (auto _ : state) {
        state.PauseTiming();
        const double start = processCpuMs();
        copyFrame(image, tinted);
        copyMs += processCpuMs() - start;
        state.ResumeTiming();
        replaced = veltone::removeHotPixels(image);
    }
    meter.m_start += copyMs;  // the fresh copy per iteration is not the stage's work
    state.counters["replaced"] = static_cast<double>(replaced);
    state.counters["Mpx/s"] = benchmark::Counter(kMegapixels * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_FlatField(benchmark::State& state)
{
    pool();
    const bool transposed = state.range(0) != 0;
    veltone::GainMap map;
    if (transposed)
        fillGains(map, kHeight, kWidth);
    else
        fillGains(map, kWidth, kHeight);
    velimage::Image16 image;
    copyFrame(image);
    CpuMeter meter(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(veltone::applyFlatField(image, map));
    state.counters["Mpx/s"] = benchmark::Counter(kMegapixels * state.iterations(), benchmark::Counter::kIsRate);
}

// The run turns the map once when its frames come turned against it; later frames then read it straight.
void BM_TurnGains(benchmark::State& state)
{
    pool();
    veltone::GainMap map, turned;
    fillGains(map, kHeight, kWidth);
    veltone::turnGains(map, turned);  // first touch of the turned map's pages is not the turn's work
    CpuMeter meter(state);
    for (auto _ : state)
        veltone::turnGains(map, turned);
    state.counters["Mpx/s"] = benchmark::Counter(kMegapixels * state.iterations(), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_AnalyzeFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AnalyzeGainedFrame)->Arg(0)->Arg(1)->ArgName("given")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeCalibrated)->DenseRange(0, 6)->ArgName("steps")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RemoveHotPixels)->Arg(0)->Arg(1)->ArgName("tinted")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlatField)->Arg(0)->Arg(1)->ArgName("transposed")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TurnGains)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
