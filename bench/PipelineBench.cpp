// Loading overlaps computation: a run over generated 16-bit TIFF frames is timed against the
// sum of decoding and computing the same frames one after the other.
//   bench_PipelineBench                          10 frames of 3000 × 2000
//   VELOSTAR_BENCH_FULL=1 bench_PipelineBench    10 frames of 6000 × 4000
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Stages.h"
#include "VelostarImpl.h"
#include "image/ImageFiles.h"
#include "parallel/ProcessPool.h"
#include "parallel/WidePath.h"

namespace {

constexpr int frameCount = 10;

struct FrameSet {
    std::string folder;
    int32_t width = 0, height = 0;
    std::vector<std::wstring> paths;

    FrameSet()
    {
        const bool full = std::getenv("VELOSTAR_BENCH_FULL") != nullptr;
        width = full ? 6000 : 3000;
        height = full ? 4000 : 2000;
        folder = (std::filesystem::temp_directory_path() / ("velostar-bench-" + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(folder);
        std::vector<uint16_t> row(static_cast<size_t>(width) * 3);
        for (int f = 0; f < frameCount; ++f) {
            const std::string path = folder + "/frame" + std::to_string(f) + ".tif";
            TIFF* tiff = TIFFOpen(path.c_str(), "w");
            TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
            TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
            TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
            TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
            TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
            for (int32_t y = 0; y < height; ++y) {
                for (size_t i = 0; i < row.size(); ++i)
                    row[i] = static_cast<uint16_t>((i * 131 + static_cast<size_t>(y) * 17 + f * 1009) & 0x3FFF);
                TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0);
            }
            TIFFClose(tiff);
            paths.push_back(velpath::fromUtf8(path));
        }
    }
    ~FrameSet() { std::filesystem::remove_all(folder); }
};

// The tree's reader when it is linked in, else a plain scanline reader.
std::unique_ptr<velimage::Image16> decode(const std::wstring& path, int color, int parts)
{
    if (auto image = velimage::loadImage(path, color, parts))
        return image;
    TIFF* tiff = TIFFOpen(velpath::toUtf8(path).c_str(), "r");
    if (!tiff)
        return nullptr;
    uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    auto image = std::make_unique<velimage::Image16>();
    image->allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), 3);
    for (uint32_t y = 0; y < height; ++y)
        TIFFReadScanline(tiff, image->row(static_cast<int32_t>(y)), y, 0);
    TIFFClose(tiff);
    return image;
}

// Stand-in per-frame work of about the cost of a calibration pass: a 3 × 3 box over each channel.
void compute(velimage::Image16& frame, std::vector<uint16_t>& scratch)
{
    const int32_t w = frame.width(), h = frame.height();
    scratch.resize(frame.elementCount());
    velthread::parallelRows(h, [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const int32_t y0 = std::max(0, y - 1), y1 = std::min(h - 1, y + 1);
            for (int32_t x = 0; x < w; ++x) {
                const int32_t x0 = std::max(0, x - 1), x1 = std::min(w - 1, x + 1);
                for (int32_t c = 0; c < 3; ++c) {
                    uint32_t sum = 0, n = 0;
                    for (int32_t yy = y0; yy <= y1; ++yy)
                        for (int32_t xx = x0; xx <= x1; ++xx, ++n)
                            sum += frame.row(yy)[xx * 3 + c];
                    scratch[(static_cast<size_t>(y) * w + x) * 3 + c] = static_cast<uint16_t>(sum / n);
                }
            }
        }
    });
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_LoadingOverlapsComputation(benchmark::State& state)
{
    static FrameSet frames;
    for (auto _ : state) {
        // One after the other: every decode, then every computation, each timed alone.
        double decodeSum = 0, computeSum = 0;
        {
            velthread::ProcessPoolScope pool;
            std::vector<uint16_t> scratch;
            for (const auto& path : frames.paths) {
                auto start = std::chrono::steady_clock::now();
                auto image = decode(path, 1, pool.pool().threadCount());
                decodeSum += seconds(std::chrono::steady_clock::now() - start);
                start = std::chrono::steady_clock::now();
                compute(*image, scratch);
                computeSum += seconds(std::chrono::steady_clock::now() - start);
            }
        }

        // The run: trails keep the walk free of registration, so the frame work is the computation.
        VelostarImpl engine;
        engine.setFrameDecoder([](const std::wstring& path, int color, int parts, velimage::RowSink*) {
            return decode(path, color, parts);
        });
        std::vector<uint16_t> scratch;
        engine.setStageFactory([&] {
            velrun::RunStages s;
            s.removeHotPixels = [&](velrun::RunContext&, velrun::Frame& f) { compute(*f.image, scratch); };
            s.composeTrails = [](velrun::RunContext&, velrun::Frame&) { return true; };
            s.writeOutput = [](velrun::RunContext&, const std::wstring&) { return true; };
            return s;
        });
        for (const auto& path : frames.paths)
            engine.addStarImage(path.c_str());
        const std::wstring output = velpath::fromUtf8(frames.folder + "/out.tif");
        engine.setOutputFile(output.c_str());
        engine.setCompositionMode(1);
        const auto start = std::chrono::steady_clock::now();
        const int result = engine.run();
        const double wall = seconds(std::chrono::steady_clock::now() - start);
        if (result != VELOSTAR_OK)
            state.SkipWithError("run failed");

        state.counters["frames"] = frameCount;
        state.counters["megapixels"] = frames.width * static_cast<double>(frames.height) / 1e6;
        state.counters["decode_s"] = decodeSum;
        state.counters["compute_s"] = computeSum;
        state.counters["serial_s"] = decodeSum + computeSum;
        state.counters["run_wall_s"] = wall;
        state.counters["overlap_gain"] = (decodeSum + computeSum) / wall;
    }
}

BENCHMARK(BM_LoadingOverlapsComputation)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
