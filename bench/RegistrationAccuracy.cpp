// Registration accuracy on generated night landscapes (hot pixels, lit windows on the ground, a
// satellite trail, the default star density): every frame's reported transform against the truth
// over the whole frame, and the star width of a stack warped with the reported transforms against
// one warped with the true transforms (same warp). With --distortion the engine corrects lens
// distortion and what is measured is the whole model its warp uses (affine and lens terms), each
// reference pixel carried into the frame against where the truth puts it; --k1 gives the frames a
// real radial distortion. Run once per change, not in CI:
//   build/bin/bench_RegistrationAccuracy [--width W] [--height H] [--frames N] [--jpeg]
//       [--color srgb|adobe|linear] [--mask] [--rotation DEG] [--jitter PX] [--seed S] [--plain-warp]
//       [--coloured-hot] [--distortion none|simple|complex] [--k1 K]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "SkyFiles.h"
#include "SkyGenerator.h"
#include "StarAnalysis.h"
#include "Velostar.h"
#include "VelostarImpl.h"
#include "image/ImageFiles.h"
#include "integration/AccumulationArithmetic.h"
#include "integration/FrameWarper.h"
#include "integration/WarpModel.h"
#include "parallel/ProcessPool.h"

namespace {

struct Settings {
    velsky::SkyOptions sky;
    int colorSpace = 0;  // engine setting: 0 sRGB, 1 Adobe, 2 linear
    bool mask = false;
    bool plainWarp = false;  // also stack with a plain double-precision bilinear warp
    int distortion = 0;      // engine setting: 0 none, 1 radial, 2 displacement grid
};

// A warp model with the grid nodes it points at.
struct OwnedModel {
    velstack::WarpModel model;
    std::vector<float> nodes;

    OwnedModel() = default;
    OwnedModel(const velstack::WarpModel& m, const float* gridNodes, size_t count) : model(m)
    {
        if (m.mode == 2)
            nodes.assign(gridNodes, gridNodes + count);
        repoint();
    }
    OwnedModel(const OwnedModel& other) : model(other.model), nodes(other.nodes) { repoint(); }
    OwnedModel& operator=(const OwnedModel& other)
    {
        model = other.model, nodes = other.nodes;
        repoint();
        return *this;
    }
    void repoint() { model.grid.nodes = nodes.empty() ? nullptr : nodes.data(); }
};

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// RMS and largest distance between two frame-to-base maps over a grid of the whole frame.
void mapError(const double t[6], const velsky::Affine& truth, int width, int height, double& rms, double& worst)
{
    double sum = 0;
    int count = 0;
    worst = 0;
    const int step = std::max(1, std::min(width, height) / 40);
    for (int y = 0; y <= height - 1; y += step)
        for (int x = 0; x <= width - 1; x += step) {
            double tx, ty;
            truth.apply(x, y, tx, ty);
            const double d = std::hypot(t[0] * x + t[1] * y + t[2] - tx, t[3] * x + t[4] * y + t[5] - ty);
            sum += d * d;
            worst = std::max(worst, d);
            ++count;
        }
    rms = std::sqrt(sum / count);
}

// Where the truth carries base pixel (x, y) into frame `index`, lens distortion included.
void trueSource(const velsky::SkyGenerator& generator, int index, double x, double y, double& sx, double& sy)
{
    // Undistort by fixed-point iteration: the distortion is a small radial factor.
    double ux = x, uy = y;
    for (int round = 0; round < 30; ++round) {
        double dx, dy;
        generator.distort(ux, uy, dx, dy);
        ux += x - dx, uy += y - dy;
    }
    double fx, fy;
    generator.frameToBase(index).inverse().apply(ux, uy, fx, fy);
    generator.distort(fx, fy, sx, sy);
}

// RMS and largest distance between the frame positions a warp model and the truth give to the
// base pixels of a grid over the whole frame, and the RMS over the sky alone (where the stars are).
void warpError(const velstack::WarpModel& model, const velsky::SkyGenerator& generator, int index, double& rms,
               double& worst, double& skyRms)
{
    const int width = generator.options().width, height = generator.options().height;
    double sum = 0, skySum = 0;
    int count = 0, skyCount = 0;
    worst = 0;
    const int step = std::max(1, std::min(width, height) / 40);
    for (int y = 0; y <= height - 1; y += step)
        for (int x = 0; x <= width - 1; x += step) {
            float sx, sy;
            velstack::mapToSource(model, float(x), float(y), sx, sy);
            double tx, ty;
            trueSource(generator, index, x, y, tx, ty);
            const double d = std::hypot(sx - tx, sy - ty);
            sum += d * d;
            worst = std::max(worst, d);
            ++count;
            if (!generator.isGround(x, y))
                skySum += d * d, ++skyCount;
        }
    rms = std::sqrt(sum / count);
    skyRms = std::sqrt(skySum / std::max(1, skyCount));
}

// Warp model (target pixel to source) from a frame-to-base map.
velstack::WarpModel modelOf(const double t[6])
{
    const float forward[9] = {float(t[0]), float(t[1]), float(t[2]), float(t[3]), float(t[4]), float(t[5]), 0, 0, 1};
    velstack::WarpModel model;
    model.setFromForward(forward);
    return model;
}

// The true warp of frame `index`: the affine truth, and with lens distortion a fine displacement
// grid on top of its inverse that carries every base pixel where the truth does.
OwnedModel trueModel(const velsky::SkyGenerator& generator, int index)
{
    OwnedModel owned;
    owned.model = modelOf(generator.frameToBase(index).m.data());
    if (generator.options().k1 == 0.0)
        return owned;
    const int width = generator.options().width, height = generator.options().height;
    const int nodes = 513;
    velstack::DisplacementGrid& grid = owned.model.grid;
    grid = {nullptr, nodes, nodes, 1.01f * width / (nodes - 1), 1.01f * height / (nodes - 1)};
    owned.nodes.resize(size_t(nodes) * nodes * 2);
    const velsky::Affine toBase = generator.frameToBase(index);
    for (int i = 0; i < nodes; ++i)
        for (int j = 0; j < nodes; ++j) {
            // Node p = affine⁻¹·q for the base pixel q = affine·p.
            const double px = j * grid.cellWidth, py = i * grid.cellHeight;
            double qx, qy, sx, sy;
            toBase.apply(px, py, qx, qy);
            trueSource(generator, index, qx, qy, sx, sy);
            owned.nodes[(size_t(i) * nodes + j) * 2] = float(sx - px);
            owned.nodes[(size_t(i) * nodes + j) * 2 + 1] = float(sy - py);
        }
    owned.model.mode = 2;
    owned.repoint();
    return owned;
}

// Second-moment radius of the green light about its centroid within 5 pixels, above the window's
// edge median; negative when it cannot be measured.
double starWidth(const velimage::AccumulationImage& image, double x, double y)
{
    const int r = 5, cx = int(std::lround(x)), cy = int(std::lround(y));
    if (cx - r < 0 || cy - r < 0 || cx + r >= image.width() || cy + r >= image.height())
        return -1;
    auto at = [&](int px, int py) {
        const float w = image.weightRow(py)[px];
        return w > 0 ? double(image.row(py)[px * 3 + 1]) / w : 0.0;
    };
    std::vector<double> edge;
    for (int d = -r; d <= r; ++d)
        edge.insert(edge.end(), {at(cx + d, cy - r), at(cx + d, cy + r), at(cx - r, cy + d), at(cx + r, cy + d)});
    std::nth_element(edge.begin(), edge.begin() + edge.size() / 2, edge.end());
    const double sky = edge[edge.size() / 2];
    double sum = 0, sx = 0, sy = 0;
    for (int py = cy - r; py <= cy + r; ++py)
        for (int px = cx - r; px <= cx + r; ++px) {
            const double v = std::max(0.0, at(px, py) - sky);
            sum += v, sx += v * px, sy += v * py;
        }
    if (sum <= 0)
        return -1;
    const double mx = sx / sum, my = sy / sum;
    double second = 0;
    for (int py = cy - r; py <= cy + r; ++py)
        for (int px = cx - r; px <= cx + r; ++px)
            second += std::max(0.0, at(px, py) - sky) * ((px - mx) * (px - mx) + (py - my) * (py - my));
    return std::sqrt(second / sum);
}

// A plain bilinear warp in double precision, pixel centres on whole numbers, added to `target`
// (sums and weights), for comparison with the engine's warp.
void addPlainWarp(const velimage::Image16& frame, const velsky::Affine& toBase, velimage::AccumulationImage& target,
                  std::vector<double>& sums)
{
    const int w = frame.width(), h = frame.height();
    if (target.empty()) {
        target.allocate(w, h, 3);
        sums.assign(size_t(w) * h * 3, 0.0);
        for (int y = 0; y < h; ++y)
            std::fill_n(target.weightRow(y), w, 0.0f);
    }
    const velsky::Affine back = toBase.inverse();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sx, sy;
            back.apply(x, y, sx, sy);
            const int ix = int(std::floor(sx)), iy = int(std::floor(sy));
            if (ix < 0 || iy < 0 || ix + 1 >= w || iy + 1 >= h)
                continue;
            const double fx = sx - ix, fy = sy - iy;
            for (int c = 0; c < 3; ++c) {
                auto at = [&](int px, int py) { return double(frame.row(py)[px * 3 + c]); };
                sums[(size_t(y) * w + x) * 3 + c] += (1 - fx) * (1 - fy) * at(ix, iy) + fx * (1 - fy) * at(ix + 1, iy) +
                                                     (1 - fx) * fy * at(ix, iy + 1) + fx * fy * at(ix + 1, iy + 1);
            }
            target.weightRow(y)[x] += 1.0f;
        }
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * 3; ++i)
            target.row(y)[i] = uint32_t(std::lround(sums[size_t(y) * w * 3 + i]));
}

int run(const Settings& settings)
{
    const velsky::SkyGenerator generator(settings.sky);
    const auto& o = generator.options();
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("velostar-accuracy-" + std::to_string(::getpid()))).string();
    const auto start = std::chrono::steady_clock::now();
    const velsky::SeriesFiles files = velsky::writeSeries(generator, folder);
    std::vector<std::string> paths;
    for (const std::string& name : files.frames)
        paths.push_back(folder + "/" + name);

    auto engine = std::make_unique<VelostarImpl>();
    // The models the warps use, as the alignment made them, by frame path.
    std::map<std::wstring, OwnedModel> models;
    double alignSeconds = 0;  // match and fit of every frame
    engine->setStageFactory([&models, &alignSeconds] {
        velrun::RunStages stages = velrun::defaultRunStages();
        stages.alignFrame = [align = stages.alignFrame, &models, &alignSeconds](velrun::RunContext& ctx,
                                                                                velrun::Frame& frame) {
            const auto start = std::chrono::steady_clock::now();
            const bool aligned = align(ctx, frame);
            alignSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const velrun::StarAnalysis* analysis = velrun::starAnalysisOf(frame.analysis.get());
            if (aligned && analysis) {
                const velstack::WarpModel& m = analysis->warp.model();
                models[frame.path] = OwnedModel(m, m.grid.nodes, size_t(m.grid.rows) * m.grid.columns * 2);
            }
            return aligned;
        };
        return stages;
    });
    engine->setDistortionCorrection(settings.distortion);
    engine->setBaseImage(widen(paths[o.baseFrame]).c_str());
    for (size_t i = 0; i < paths.size(); ++i)
        if (int(i) != o.baseFrame)
            engine->addStarImage(widen(paths[i]).c_str());
    engine->setOutputFile(widen(folder + "/stack.tif").c_str());
    engine->setColorSpace(settings.colorSpace);
    engine->setRemoveHotPixels(false);  // the frames keep their hot pixels
    std::vector<uint8_t> mask;
    if (settings.mask) {
        mask = generator.maskRgb();
        engine->setMask(mask.data(), o.width, o.height);
    }
    const auto generated = std::chrono::steady_clock::now();
    const int result = engine->run();
    const auto stacked = std::chrono::steady_clock::now();
    std::printf("%dx%d, %d frames, %s, colour space %d, %s, distortion correction %d, k1 %g: result %d (generate %.1f "
                "s, stack %.1f s)\n",
                o.width, o.height, o.frames, o.jpeg ? "JPEG" : "TIFF", settings.colorSpace,
                settings.mask ? "sky mask" : "no region", settings.distortion, o.k1, result, std::chrono::duration<double>(generated - start).count(),
                std::chrono::duration<double>(stacked - generated).count());

    velthread::ProcessPoolScope pool(0);  // the engine's own pool is gone with its run
    const int loaderSetting = settings.colorSpace == 1 ? 2 : settings.colorSpace == 2 ? 3 : 1;
    velimage::AccumulationImage fitted, truthStack, plainStack;
    std::vector<double> plainSums;
    double sumSquares = 0, sumSkySquares = 0, worstRms = 0, worstPoint = 0;
    int aligned = 0, others = 0;
    for (int k = 0; k < engine->getFrameReportCount(); ++k) {
        VelostarFrameReport report{};
        engine->getFrameReport(k, &report);
        const std::wstring wide(report.file);
        const std::string file(wide.begin(), wide.end());
        const int index = std::stoi(file.substr(file.size() - 7, 3));
        const velsky::Affine truth = generator.frameToBase(index);
        const auto image = velimage::loadImage(wide, loaderSetting, 1);
        if (!image)
            continue;
        const OwnedModel exact = trueModel(generator, index);
        velstack::accumulateFrame(*image, exact.model, truthStack);
        if (settings.plainWarp)
            addPlainWarp(*image, truth, plainStack, plainSums);
        if (report.reference) {
            velstack::accumulateFrame(*image, exact.model, fitted);
            continue;
        }
        ++others;
        if (!report.aligned) {
            std::printf("  %s NOT ALIGNED: %s (stars %d, pairs %d)\n", file.c_str() + folder.size() + 1,
                        report.reason ? report.reason : "?", report.stars, report.pairs);
            continue;
        }
        const auto found = models.find(wide);
        if (found == models.end()) {
            std::printf("  %s: no warp model\n", file.c_str() + folder.size() + 1);
            continue;
        }
        ++aligned;
        const velstack::WarpModel& model = found->second.model;
        // The report holds the affine part only; the warp is what the stack gets.
        double rms, worst, skyRms, reportRms, reportWorst;
        warpError(model, generator, index, rms, worst, skyRms);
        mapError(report.transform, truth, o.width, o.height, reportRms, reportWorst);
        sumSquares += rms * rms;
        worstRms = std::max(worstRms, rms);
        worstPoint = std::max(worstPoint, worst);
        sumSkySquares += skyRms * skyRms;
        std::printf("  %s stars %5d pairs %4d  warp rms %.4f px (sky %.4f)  max %.4f px  (report %.4f / %.4f)%s\n",
                    file.c_str() + folder.size() + 1, report.stars, report.pairs, rms, skyRms, worst, reportRms,
                    reportWorst, index == o.satelliteFrame ? "  (satellite)" : "");
        velstack::accumulateFrame(*image, model, fitted);
    }

    // Star widths at the base frame's bright, unclipped, uncrowded stars in the sky.
    std::vector<velsky::SkyStar> stars = generator.stars();
    std::sort(stars.begin(), stars.end(), [](const auto& a, const auto& b) { return a.flux > b.flux; });
    std::vector<std::array<double, 2>> spots;
    for (const auto& star : stars) {
        double x, y;
        generator.skyToFramePixel(o.baseFrame, star.x, star.y, x, y);
        if (x < 20 || y < 20 || x > o.width - 21 || y > o.height - 21 || generator.isGround(int(x), int(y) + 8))
            continue;
        bool crowded = false;
        for (const auto& s : spots)
            crowded = crowded || std::hypot(s[0] - x, s[1] - y) < 14;
        if (crowded || star.flux > 0.1 * o.brightestFlux)
            continue;
        spots.push_back({x, y});
        if (spots.size() == 400)
            break;
    }
    double wFitted = 0, wTruth = 0, wPlain = 0;
    int measured = 0;
    for (const auto& s : spots) {
        const double a = starWidth(fitted, s[0], s[1]), b = starWidth(truthStack, s[0], s[1]);
        const double c = settings.plainWarp ? starWidth(plainStack, s[0], s[1]) : 1.0;
        if (a > 0 && b > 0 && c > 0)
            wFitted += a, wTruth += b, wPlain += c, ++measured;
    }
    if (settings.plainWarp)
        std::printf("  true transforms, plain double bilinear warp: %.4f px (engine's warp / plain %.4f)\n",
                    wPlain / std::max(1, measured), wPlain > 0 ? wTruth / wPlain : 0.0);
    std::printf("  alignment (match and fit) %.1f ms per frame\n", 1000.0 * alignSeconds / std::max(1, others));
    std::printf("  aligned %d of %d; set rms %.4f px (sky %.4f px), worst frame rms %.4f px, worst point %.4f px\n",
                aligned, others, aligned ? std::sqrt(sumSquares / aligned) : 0.0,
                aligned ? std::sqrt(sumSkySquares / aligned) : 0.0, worstRms, worstPoint);
    std::printf("  star width over %d stars: fitted %.4f px, true transforms %.4f px, ratio %.4f\n", measured,
                wFitted / std::max(1, measured), wTruth / std::max(1, measured), wTruth > 0 ? wFitted / wTruth : 0.0);
    std::filesystem::remove_all(folder);
    return aligned == others ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings s;
    s.sky.width = 3000;
    s.sky.height = 2000;
    s.sky.frames = 8;
    s.sky.foreground = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--width") s.sky.width = std::stoi(next());
        else if (a == "--height") s.sky.height = std::stoi(next());
        else if (a == "--frames") s.sky.frames = std::stoi(next());
        else if (a == "--seed") s.sky.seed = std::stoull(next());
        else if (a == "--rotation") s.sky.rotationPerFrameDeg = std::stod(next());
        else if (a == "--jitter") s.sky.jitterPx = std::stod(next());
        else if (a == "--jpeg") s.sky.jpeg = true;
        else if (a == "--coloured-hot") s.sky.colouredHotPixels = true;
        else if (a == "--mask") s.mask = true;
        else if (a == "--plain-warp") s.plainWarp = true;
        else if (a == "--k1") s.sky.k1 = std::stod(next());
        else if (a == "--distortion") {
            const std::string d = next();
            s.distortion = d == "simple" ? 1 : d == "complex" ? 2 : 0;
        }
        else if (a == "--color") {
            const std::string c = next();
            s.colorSpace = c == "adobe" ? 1 : c == "linear" ? 2 : 0;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 64;
        }
    }
    s.sky.baseFrame = s.sky.frames / 2;
    s.sky.satelliteFrame = std::min(s.sky.frames - 1, s.sky.baseFrame + 1);
    return run(s);
}
