// Decoding speed of the image-file readers next to the bare library decode of the same files:
// a 6000 × 4000 RGB frame as 16-bit uncompressed TIFF and as quality-99 JPEG. The goal is that our
// conversion (widening, colour decoding) adds at most 20% to the library's own decode time.
// Times are CPU time of the whole process (pool threads included), so that the comparison holds
// on a busy machine; MP/s follows from that time.
#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "FileMemory.h"
#include "image/ImageFiles.h"
#include "image/ImageTypes.h"
#include "image/TiffLibrary.h"
#include "image/TiffWriter.h"
#include "parallel/LargeBuffer.h"
#include "parallel/ProcessPool.h"
#include "parallel/WidePath.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr double kMegapixels = kWidth * static_cast<double>(kHeight) / 1e6;

// A sky-like frame: a smooth gradient with pseudo-random noise of a few 8-bit levels, about what a
// camera JPEG of the night sky holds (a noise-free gradient would make the JPEG unrealistically
// cheap to decode).
struct Files {
    std::filesystem::path folder;
    std::string tiff, jpeg;

    Files()
    {
        folder = std::filesystem::temp_directory_path() / "velostar-bench-imagefiles";
        std::filesystem::create_directories(folder);
        tiff = (folder / "frame.tif").string();
        jpeg = (folder / "frame.jpg").string();
        velimage::Image<uint16_t> wide;
        velimage::Image<uint8_t> narrow;
        wide.allocate(kWidth, kHeight, 3);
        narrow.allocate(kWidth, kHeight, 3);
        uint32_t state = 1;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth * 3; ++x) {
                state = state * 1664525u + 1013904223u;
                const uint32_t value = (x / 3) * 40 + y * 6 + (state >> 26);
                wide.row(y)[x] = static_cast<uint16_t>(value);
                narrow.row(y)[x] = static_cast<uint8_t>(std::min<uint32_t>(255, (value >> 8) + (state >> 28)));
            }
        if (!velimage::writeTiff16(wide, velpath::fromUtf8(tiff)) || !velimage::writeJpeg8(narrow, velpath::fromUtf8(jpeg)))
            std::fprintf(stderr, "bench: could not write the test files\n");
    }
    ~Files()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

const Files& files()
{
    static Files instance;
    return instance;
}

void setRate(benchmark::State& state)
{
    state.counters["MP/s"] = benchmark::Counter(kMegapixels * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

// loadImage with the colour setting given as the argument (1 sRGB, 3 linear), on a 2-part pool.
void loadWithSetting(benchmark::State& state, const std::string& path)
{
    velthread::ProcessPoolScope pool;
    const int parts = pool.pool().threadCount();
    const std::wstring wide = velpath::fromUtf8(path);
    for (auto _ : state) {
        auto image = velimage::loadImage(wide, static_cast<int>(state.range(0)), parts);
        if (!image)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(image.get());
    }
    setRate(state);
}

void TiffLoadImage(benchmark::State& state) { loadWithSetting(state, files().tiff); }
void JpegLoadImage(benchmark::State& state) { loadWithSetting(state, files().jpeg); }

// The destination of a bare library decode: plain malloc (argument 0) or the engine's own
// large-buffer allocation (arguments 1 and 2), so the conversion cost is compared on equal memory.
template <typename T>
velmem::Buffer<T> destination(benchmark::State& state, size_t count)
{
    if (state.range(0) != 0)
        return velmem::allocateBuffer<T>(count);
    return velmem::Buffer<T>(static_cast<T*>(std::malloc(count * sizeof(T))));
}

// The library alone: open and read every scan line into a buffer of the image's size.
void TiffLibraryScanlines(benchmark::State& state)
{
    velimage::silenceTiffLibrary();
    for (auto _ : state) {
        // Argument 2 also keeps libtiff from mapping the file (it reads with read()).
        TIFF* tiff = TIFFOpen(files().tiff.c_str(), state.range(0) == 2 ? "rm" : "r");
        if (!tiff) {
            state.SkipWithError("open failed");
            break;
        }
        const tmsize_t line = TIFFScanlineSize(tiff);
        auto pixels = destination<uint8_t>(state, static_cast<size_t>(line) * kHeight);
        for (uint32_t y = 0; y < static_cast<uint32_t>(kHeight); ++y)
            TIFFReadScanline(tiff, pixels.get() + static_cast<size_t>(line) * y, y, 0);
        TIFFClose(tiff);
        benchmark::DoNotOptimize(pixels.get());
    }
    setRate(state);
}

// The library alone: read the file into memory and decode it to 8-bit RGB.
void JpegLibraryDecode(benchmark::State& state)
{
    const std::wstring wide = velpath::fromUtf8(files().jpeg);
    for (auto _ : state) {
        FileMemory file;
        file.loadFromFile(wide.c_str());
        jpeg_decompress_struct decoder;
        jpeg_error_mgr errors;
        decoder.err = jpeg_std_error(&errors);
        jpeg_create_decompress(&decoder);
        jpeg_mem_src(&decoder, file.getContent(), static_cast<unsigned long>(file.getSize()));
        jpeg_read_header(&decoder, TRUE);
        decoder.out_color_space = JCS_RGB;
        jpeg_start_decompress(&decoder);
        const size_t stride = static_cast<size_t>(decoder.output_width) * decoder.output_components;
        auto pixels = destination<uint8_t>(state, stride * decoder.output_height);
        while (decoder.output_scanline < decoder.output_height) {
            JSAMPROW row = pixels.get() + stride * decoder.output_scanline;
            jpeg_read_scanlines(&decoder, &row, 1);
        }
        jpeg_finish_decompress(&decoder);
        jpeg_destroy_decompress(&decoder);
        benchmark::DoNotOptimize(pixels.get());
    }
    setRate(state);
}

}  // namespace

BENCHMARK(TiffLibraryScanlines)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(TiffLoadImage)->Arg(3)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(JpegLibraryDecode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(JpegLoadImage)->Arg(3)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK_MAIN();
