// Cost and accuracy of the sky mask estimated from the frames, next to the cost of one frame's
// analysis (star detection and pattern, as the run's analysis stage does it) on the same frames.
// Generated landscapes with the default star density, hot pixels, lit windows and a satellite
// trail; the generator's transforms stand in for registration's. Prints, per size: the planes of
// one frame and of the base frame (with its finer plane for the horizon) as the loader makes them
// while it decodes, the estimate from the kept planes drawn into the run's new sharp mask (and
// its labels and its drawing apart), their sum over the kept frames, one frame's analysis and the
// ratio, the soft sky mask a run makes from the estimate and the host's soft-edged mask drawn
// when asked for (neither part of it), the share of pixels more than 10 px from the true horizon
// on which the mask agrees with the truth, and the masks' checksums.
// Each cost is the least of a few measurements (of the frames reduced and analysed, of three
// estimates), since other work on a shared machine only ever adds to it.
//   bench_SkyMaskBench [--width W --height H --frames N --seed S --base B --satellite F --jpeg 1
//                       --coloured-hot 1 --repeats R --dump FILE.ppm]
// (default: 3000×2000×20 and 6000×4000×10, base frame 0, satellite in the middle frame; --jpeg 1 passes
// each frame through an 8-bit JPEG file read back linear, as `--color-space linear` reads it; --dump
// writes the base frame with the mask's errors in colour; --repeats: estimates to take the least of, 3)
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "CpuMeter.h"
#include "SkyGenerator.h"
#include "SkyFiles.h"
#include "Stages.h"
#include "VelostarImpl.h"
#include "image/ImageFiles.h"
#include "parallel/ProcessPool.h"
#include "corrections/SoftSkyMask.h"
#include "skymask/HorizonRefinement.h"
#include "skymask/SkyMaskEstimate.h"

namespace {

struct Cost {
    double wallMs = 0.0;
    double cpuMs = 0.0;
};

// The cheaper of two measurements: other work on a shared machine only ever adds time.
Cost least(const Cost& a, const Cost& b) { return {std::min(a.wallMs, b.wallMs), std::min(a.cpuMs, b.cpuMs)}; }
constexpr Cost kUnmeasured{1e30, 1e30};

template <typename F>
Cost measure(F&& work)
{
    const auto start = std::chrono::steady_clock::now();
    const double cpu = velbench::processCpuMs();
    work();
    return {std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(),
            velbench::processCpuMs() - cpu};
}

struct Series {
    int width = 0, height = 0, frames = 0, baseFrame = 0, satellite = -1, repeats = 3;
    uint64_t seed = 5;
    bool jpeg = false, colouredHot = false;
};

std::unique_ptr<velimage::Image16> toImage(const velsky::RgbImage16& rgb)
{
    auto image = std::make_unique<velimage::Image16>();
    image->allocate(rgb.width, rgb.height, 3);
    std::copy(rgb.samples.begin(), rgb.samples.end(), image->data());
    return image;
}

double agreement(const velsky::SkyGenerator& sky, const velimage::Image16& mask)
{
    int64_t counted = 0, agreed = 0;
    for (int32_t y = 0; y < mask.height(); ++y)
        for (int32_t x = 0; x < mask.width(); ++x) {
            if (std::fabs(sky.horizonRow(x) - y) <= 10.0)
                continue;
            ++counted;
            agreed += (mask.row(y)[x] >= 32768) == !sky.isGround(x, y);
        }
    return counted ? double(agreed) / double(counted) : 0.0;
}

// The base frame in grey with the estimate's errors marked: red sky that is ground, green the reverse.
void dump(const std::string& path, const velsky::SkyGenerator& sky, const velimage::Image16& mask)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return;
    const velsky::RgbImage16 base = sky.renderBaseSky();
    std::fprintf(file, "P6 %d %d 255\n", base.width, base.height);
    std::vector<unsigned char> row(static_cast<size_t>(base.width) * 3);
    for (int y = 0; y < base.height; ++y) {
        for (int x = 0; x < base.width; ++x) {
            const bool estimated = mask.row(y)[x] >= 32768, truth = !sky.isGround(x, y);
            const auto grey = static_cast<unsigned char>(std::min(255, base.at(x, y, 1) / 16));
            row[3 * x] = estimated && !truth ? 255 : grey;
            row[3 * x + 1] = !estimated && truth ? 255 : grey;
            row[3 * x + 2] = grey;
        }
        std::fwrite(row.data(), 1, row.size(), file);
    }
    std::fclose(file);
}

// The planes the run's loader makes of a frame while it decodes it: the rows written a band at a
// time, as a decoder writes them, and the plane rows of each band made while it is in the caches.
// Only the planes' work counts. The base frame's finer plane too where `base`.
Cost planesWhileDecoded(const velimage::Image16& frame, int32_t factor, bool base, velmask::SkySample& sample)
{
    constexpr int32_t Band = 16;
    velimage::Image16 decoded;
    decoded.allocate(frame.width(), frame.height(), frame.channels());
    velmask::LuminancePlaneRows plane, fine;
    plane.begin(decoded, factor);
    if (const int32_t fineFactor = velmask::refinementFactor(factor); base && fineFactor < factor)
        fine.begin(decoded, fineFactor, true);
    Cost cost;
    for (int32_t y = 0; y < frame.height(); y += Band) {
        const int32_t end = std::min(frame.height(), y + Band);
        std::copy(frame.row(y), frame.row(end - 1) + frame.rowElements(), decoded.row(y));
        const Cost band = measure([&] {
            plane.rowsFinal(decoded, end);
            fine.rowsFinal(decoded, end);
        });
        cost.wallMs += band.wallMs;
        cost.cpuMs += band.cpuMs;
    }
    sample.plane = plane.take();
    if (base)
        sample.fine = fine.take();
    return cost;
}

// The frame as the run reads it from an 8-bit JPEG file with the linear colour setting.
std::unique_ptr<velimage::Image16> throughJpeg(const velsky::RgbImage16& rgb)
{
    char path[] = "/tmp/skymaskbench-XXXXXX.jpg";
    const int fd = mkstemps(path, 4);
    if (fd < 0)
        return toImage(rgb);
    close(fd);
    velsky::writeJpeg(path, rgb);
    const std::string name = path;
    std::unique_ptr<velimage::Image16> image =
        velimage::loadImage(std::wstring(name.begin(), name.end()), velimage::loaderColorSetting(2), 2);
    std::remove(path);
    return image ? std::move(image) : toImage(rgb);
}

void runOne(const Series& series, const std::string& dumpPath)
{
    const int width = series.width, height = series.height, frames = series.frames, baseFrame = series.baseFrame;
    const uint64_t seed = series.seed;
    velsky::SkyOptions o;
    o.width = width;
    o.height = height;
    o.frames = frames;
    o.seed = seed;
    o.foreground = true;
    o.groundLights = 12;
    o.satelliteFrame = series.satellite >= 0 ? series.satellite : frames / 2;
    o.colouredHotPixels = series.colouredHot;
    o.baseFrame = baseFrame;
    const velsky::SkyGenerator generator(o);

    velthread::ProcessPoolScope pool;
    VelostarImpl engine;
    EngineSettings settings;
    velrun::RunContext context(engine, settings);
    context.poolThreads = pool.pool().threadCount();
    velrun::RunStages stages = velrun::defaultRunStages();

    const int32_t factor = velmask::reductionFactor(width, height);
    std::vector<velmask::SkySample> samples;
    // The planes of one frame and of the base (with its finer plane) as the loader makes them.
    Cost planes = kUnmeasured, basePlanes = kUnmeasured, analysis = kUnmeasured;
    // The run keeps every k-th frame, at most MaxSkySamples of them.
    const int most = static_cast<int>(velmask::MaxSkySamples);
    const int stride = (frames + most - 1) / most;
    int kept = 0;
    std::vector<int> order{baseFrame};
    for (int i = 0; i < frames; ++i)
        if (i != baseFrame)
            order.push_back(i);
    for (int n = 0; n < frames; ++n) {
        const int i = order[n];
        if (n % stride != 0 && n >= 2)
            continue;
        velrun::Frame frame;
        frame.reference = n == 0;
        frame.image = series.jpeg ? throughJpeg(generator.renderFrame(i)) : toImage(generator.renderFrame(i));
        // As the run has it when the estimate reduces it: without the camera's hot pixels.
        stages.removeHotPixels(context, frame);
        velmask::SkySample sample;
        for (int repeat = 0; repeat < (n == 0 ? 3 : 1); ++repeat) {
            const Cost cost = planesWhileDecoded(*frame.image, factor, n == 0, sample);
            (n == 0 ? basePlanes : planes) = least(n == 0 ? basePlanes : planes, cost);
        }
        sample.aligned = true;
        const auto t = generator.frameToBase(i).m;
        std::copy(t.begin(), t.end(), sample.toBase);
        if (n % stride == 0) {
            samples.push_back(std::move(sample));
            ++kept;
        }
        if (n < 3)
            analysis = least(analysis, measure([&] { stages.analyzeFrame(context, frame, 0); }));
    }
    // As a run makes it: the labels, drawn into a new sharp mask each time (those of the repeats
    // before stay, so that their memory is not handed out again). The soft mask for the host is
    // drawn only when the host asks for it, apart.
    std::vector<std::unique_ptr<velimage::Image16>> sharpMasks;
    velmask::SkyLabels labels;
    velmask::SkyEstimate outcome = velmask::SkyEstimate::NoStarMotion;
    Cost estimate = kUnmeasured, labelsOnly = kUnmeasured, drawOnly = kUnmeasured;
    for (int repeat = 0; repeat < std::max(1, series.repeats); ++repeat) {
        auto sharp = std::make_unique<velimage::Image16>();
        Cost labelCost, drawCost;
        const Cost both = measure([&] {
            labelCost = measure([&] { outcome = velmask::estimateSkyLabels(samples, labels); });
            drawCost = measure([&] { velmask::drawSkyMask(labels, width, height, nullptr, sharp.get()); });
        });
        estimate = least(estimate, both);
        labelsOnly = least(labelsOnly, labelCost);
        drawOnly = least(drawOnly, drawCost);
        sharpMasks.push_back(std::move(sharp));
    }
    const velimage::Image16& twin = *sharpMasks.back();
    velimage::Image16 mask;
    const Cost hostMask = measure([&] { velmask::drawSkyMask(labels, width, height, &mask, nullptr); });

    // What a run does with the estimate next: its q = 60 soft sky mask, apart from the estimate.
    // Speed work that should not change the masks is checked against their checksums.
    const auto checksum = [](const velimage::Image16& plane) {
        uint64_t sum = 1469598103934665603ull;
        for (size_t i = 0; i < plane.elementCount(); ++i)
            sum = (sum ^ plane.data()[i]) * 1099511628211ull;
        return static_cast<unsigned long long>(sum);
    };
    Cost softMask = kUnmeasured;
    unsigned long long softChecksum = 0;
    for (int repeat = 0; repeat < 3; ++repeat) {
        velimage::Image16 soft;
        softMask = least(softMask, measure([&] { veltone::makeSoftSkyMask(twin, 60, 1, soft); }));
        softChecksum = checksum(soft);
    }
    const double perAnalysis = analysis.wallMs, perAnalysisCpu = analysis.cpuMs;
    const double total = basePlanes.wallMs + (kept - 1) * planes.wallMs + estimate.wallMs;
    const double totalCpu = basePlanes.cpuMs + (kept - 1) * planes.cpuMs + estimate.cpuMs;
    std::printf("%d x %d, %d frames%s (plane factor %d), %d threads\n", width, height, frames,
                series.jpeg ? " as JPEG" : "", factor, pool.pool().threadCount());
    std::printf("  one frame's plane    %8.1f ms wall %8.1f ms cpu (while decoded)\n", planes.wallMs, planes.cpuMs);
    std::printf("  the base's planes    %8.1f ms wall %8.1f ms cpu (and its finer one)\n", basePlanes.wallMs,
                basePlanes.cpuMs);
    std::printf("  estimate from %2d     %8.1f ms wall %8.1f ms cpu\n", kept, estimate.wallMs, estimate.cpuMs);
    std::printf("    of which the labels %7.1f ms wall %8.1f ms cpu, the sharp mask %.1f / %.1f\n", labelsOnly.wallMs,
                labelsOnly.cpuMs, drawOnly.wallMs, drawOnly.cpuMs);
    std::printf("  estimate in all      %8.1f ms wall %8.1f ms cpu\n", total, totalCpu);
    std::printf("  one frame's analysis %8.1f ms wall %8.1f ms cpu\n", perAnalysis, perAnalysisCpu);
    std::printf("  estimate / analysis  %8.2f wall     %8.2f cpu\n", total / perAnalysis, totalCpu / perAnalysisCpu);
    std::printf("  then its soft mask   %8.1f ms wall %8.1f ms cpu (of the sharp one)\n", softMask.wallMs, softMask.cpuMs);
    std::printf("  the host's mask      %8.1f ms wall %8.1f ms cpu (drawn when asked for)\n", hostMask.wallMs,
                hostMask.cpuMs);
    std::printf("  mask agrees with the truth on %.2f %% of the pixels beyond 10 px of the horizon%s\n",
                100.0 * agreement(generator, mask),
                outcome == velmask::SkyEstimate::Estimated ? "" : " (NO STAR MOTION)");
    std::printf("  mask checksum %016llx, its soft mask's %016llx, the run's sharp one %016llx\n", checksum(mask),
                softChecksum, checksum(twin));
    std::fflush(stdout);
    if (!dumpPath.empty())
        dump(dumpPath, generator, mask);
}

}  // namespace

int main(int argc, char** argv)
{
    Series series;
    std::string dumpPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (option == "--width") series.width = int(value);
        else if (option == "--height") series.height = int(value);
        else if (option == "--frames") series.frames = int(value);
        else if (option == "--seed") series.seed = uint64_t(value);
        else if (option == "--base") series.baseFrame = int(value);
        else if (option == "--satellite") series.satellite = int(value);
        else if (option == "--jpeg") series.jpeg = value != 0;
        else if (option == "--coloured-hot") series.colouredHot = value != 0;
        else if (option == "--repeats") series.repeats = std::max(1, int(value));
        else if (option == "--dump") dumpPath = argv[i + 1];
        else {
            std::fprintf(stderr, "usage: bench_SkyMaskBench [--width W --height H --frames N --seed S --base B "
                                 "--satellite F --jpeg 1 --coloured-hot 1 --repeats R --dump FILE.ppm]\n");
            return 64;
        }
    }
    if (series.width > 0 && series.height > 0 && series.frames > 1) {
        runOne(series, dumpPath);
        return 0;
    }
    for (const auto& [w, h, n] : {std::array<int, 3>{3000, 2000, 20}, std::array<int, 3>{6000, 4000, 10}}) {
        series.width = w;
        series.height = h;
        series.frames = n;
        runOne(series, {});
    }
    return 0;
}
