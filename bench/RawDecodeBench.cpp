// What decoding a camera RAW file in velostar-rawdecode costs next to decoding it in the engine's
// own process: loadImage end to end (file to 16-bit frame with metadata) on a 6000 × 4000 DNG.
// Both wall time and the CPU time of this process plus its finished children ("cpu_ms") are
// reported, as the decode moves out of this process; on a shared machine compare cpu_ms.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>

#include "DecoderProcess.h"
#include "DngWriter.h"
#include "image/ImageFiles.h"
#include "parallel/WidePath.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

double cpuMs(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-3;
}
double cpuMsWithChildren() { return cpuMs(RUSAGE_SELF) + cpuMs(RUSAGE_CHILDREN); }

// A sky-like mosaic: a gradient with a few levels of noise.
struct DngFile {
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "velostar-bench-rawdecode";
    std::string path = (folder / "frame.dng").string();

    DngFile()
    {
        std::filesystem::create_directories(folder);
        veldng::DngFrame frame;
        frame.width = kWidth;
        frame.height = kHeight;
        frame.mosaic.resize(size_t{kWidth} * kHeight);
        uint32_t state = 1;
        for (size_t i = 0; i < frame.mosaic.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            frame.mosaic[i] = static_cast<uint16_t>(3000 + i % kWidth + i / kWidth * 4 + (state >> 24));
        }
        frame.dateTimeOriginal = "2024:01:01 22:00:00";
        veldng::writeDng(frame, path);
    }
    ~DngFile()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

const DngFile& dng()
{
    static DngFile instance;
    return instance;
}

// Argument 0: in this process; 1: in velostar-rawdecode.
void RawLoadImage(benchmark::State& state)
{
    const std::string program = state.range(0) ? velraw::decoderProgramPath() : std::string();
    if (state.range(0) && program.empty()) {
        state.SkipWithError("velostar-rawdecode not found");
        return;
    }
    ::setenv("VELOSTAR_RAWDECODE", program.c_str(), 1);
    const std::wstring path = velpath::fromUtf8(dng().path);
    const double start = cpuMsWithChildren();
    for (auto _ : state) {
        auto image = velimage::loadImage(path, 1, 1);
        if (!image)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(image.get());
    }
    state.counters["cpu_ms"] = (cpuMsWithChildren() - start) / static_cast<double>(state.iterations());
    ::unsetenv("VELOSTAR_RAWDECODE");
}

}  // namespace

BENCHMARK(RawLoadImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK_MAIN();
