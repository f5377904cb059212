// What one drag step of each preview tool costs on the UI thread: the brush stroke on a full-size
// mask and the overlay passes over a display-sized preview.
#include <benchmark/benchmark.h>

#include <vector>

#include "BrushMask.h"
#include "PreviewOverlays.h"
#include "PreviewShapes.h"

using namespace velapp;

namespace {

constexpr int kShownWidth = 1000;  // a preview on a 1280 × 800 screen
constexpr int kShownHeight = 667;

std::vector<uint8_t> preview()
{
    std::vector<uint8_t> rgb(size_t(kShownWidth) * kShownHeight * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>((i * 7) % 251);
    return rgb;
}

void BrushStrokeOn6000x4000(benchmark::State& state)
{
    MaskImage mask = blankMask(6000, 4000);  // 3840 × 2560
    const float pen = static_cast<float>(brushPenWidth(kBrushDefaultIndex, mask.width, kShownWidth));
    float x = 200;
    for (auto _ : state) {
        paintStroke(mask, x, 900, x + 20, 905, pen, false);
        x = x > 3000 ? 200 : x + 20;
    }
    state.counters["pen_px"] = pen;
}
BENCHMARK(BrushStrokeOn6000x4000)->Unit(benchmark::kMillisecond);

void BrushOverlay(benchmark::State& state)
{
    MaskImage mask = blankMask(6000, 4000);
    paintStroke(mask, 0, 600, 3840, 600, 1200, false);
    const std::vector<uint8_t> shown = preview();
    const std::vector<uint8_t> marks = state.range(0) ? detailMarks(shown.data(), kShownWidth, kShownHeight)
                                                      : std::vector<uint8_t>();
    std::vector<uint8_t> rgb;
    for (auto _ : state) {
        rgb = shown;
        shadeBrushMask(RgbView{rgb.data(), kShownWidth, kShownHeight}, mask, state.range(0) ? &marks : nullptr);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BrushOverlay)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void LineOverlays(benchmark::State& state)
{
    const std::vector<uint8_t> shown = preview();
    std::vector<uint8_t> rgb;
    for (auto _ : state) {
        rgb = shown;
        const RgbView view{rgb.data(), kShownWidth, kShownHeight};
        shadeBoundarySide(view, {0.1f, 0.55f, 0.9f, 0.6f});
        shadeGradient(view, gradientFromDrag({500, 200}, {550, 400}, kShownWidth, kShownHeight));
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(LineOverlays)->Unit(benchmark::kMillisecond);

void DetailMarks(benchmark::State& state)
{
    const std::vector<uint8_t> shown = preview();
    for (auto _ : state)
        benchmark::DoNotOptimize(detailMarks(shown.data(), kShownWidth, kShownHeight));
}
BENCHMARK(DetailMarks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
