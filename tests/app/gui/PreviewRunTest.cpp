#include <gtest/gtest.h>

#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "DngWriter.h"
#include "MaskFile.h"
#include "ProgramRun.h"
#include "SkyFiles.h"
#include "support/TempDir.h"

namespace {

using namespace velguitest;
namespace fs = std::filesystem;

constexpr int kRunTimeoutSeconds = 300;  // generous for sanitizer builds; a hang still ends

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The numbers of the first output line that starts with `start` (commas count as spaces).
std::vector<double> numbersAfter(const std::string& output, const std::string& start)
{
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(start, 0) != 0)
            continue;
        std::string rest = line.substr(start.size());
        std::replace(rest.begin(), rest.end(), ',', ' ');
        std::istringstream in(rest);
        std::vector<double> values;
        for (std::string word; in >> word;) {
            char* end = nullptr;
            const double value = std::strtod(word.c_str(), &end);
            if (end != word.c_str())
                values.push_back(value);
        }
        return values;
    }
    return {};
}

std::string joined(const std::vector<double>& values)
{
    std::ostringstream out;
    out.precision(9);
    for (size_t i = 0; i < values.size(); ++i)
        out << (i ? "," : "") << values[i];
    return out.str();
}

struct Picture {
    velapp::MaskImage rgb;
    std::array<int, 3> at(int x, int y) const
    {
        const uint8_t* p = rgb.rgb.data() + (static_cast<size_t>(y) * rgb.width + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

Picture readPng(const std::string& path) { return Picture{velapp::loadMaskPng(path)}; }

// Where the program showed the image: offset and displayed size in the preview's client area.
struct Fit {
    int x = 0, y = 0, width = 0, height = 0;
};

class PreviewRun : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef VELOSTAR_NO_DESKTOP_PROGRAM
        GTEST_SKIP() << "the desktop program is not part of this build";
#else
        ASSERT_TRUE(fs::exists(programPath())) << programPath();
        ASSERT_EQ(std::system("command -v xvfb-run > /dev/null"), 0) << "xvfb-run is missing (scripts/setup.sh)";
#endif
    }

    void generateFrames()
    {
        velsky::SkyOptions options;
        options.width = 600;
        options.height = 400;
        options.frames = 5;
        options.threads = 1;
        options.foreground = true;
        options.starsPerMegapixel = 2000;  // every frame aligns, whichever region bounds the stars
        const velsky::SeriesFiles series = velsky::writeSeries(velsky::SkyGenerator(options), m_dir.file("frames"));
        for (const std::string& name : series.frames)
            m_frames.push_back(m_dir.file("frames") + "/" + name);
    }

    ProgramRun run(const std::string& mode, const std::vector<std::string>& files) const
    {
        std::string list;
        for (const std::string& file : files)
            list += file + "\n";
        return runSelfTest("en",
                           "VELOSTAR_SELFTEST=" + mode + " VELOSTAR_SELFTEST_FILES=" + shellQuoted(list) +
                               " VELOSTAR_SELFTEST_OUTPUT=" + shellQuoted(prefix()),
                           kRunTimeoutSeconds);
    }

    // The job through the command line with the options the window's run has.
    int runCommandLine(const std::string& region, const std::string& output) const
    {
        return runCommandLineJob(m_frames, "--no-remove-hot-pixels --freeze-selective --enhance-stars 2.2 " + region,
                                 output);
    }

    std::string prefix() const { return m_dir.file("preview"); }
    std::string saved(const std::string& name) const { return prefix() + "-" + name; }

    veltest::TempDir m_dir;
    std::vector<std::string> m_frames;
};

// Every `step`-th pixel of the displayed image, with its position in image-display pixels.
template <typename Visit> void forGrid(const Fit& fit, int step, Visit&& visit)
{
    for (int y = 1; y < fit.height - 1; y += step)
        for (int x = 1; x < fit.width - 1; x += step)
            visit(x, y, fit.x + x, fit.y + y);
}

std::array<int, 3> halved(std::array<int, 3> c) { return {c[0] / 2, c[1] / 2, c[2] / 2}; }

}  // namespace

TEST_F(PreviewRun, DrawnRegionsReachTheEngineAndShowTheirOverlays)
{
    generateFrames();
    const ProgramRun run = this->run("preview", m_frames);
    ASSERT_EQ(run.status, 0) << run.output;
    std::istringstream lines(run.output);
    int succeeded = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_FALSE(line.rfind("step: ", 0) == 0 && contains(line, " FAILED")) << line;
        EXPECT_FALSE(line.rfind("log: ", 0) == 0 && (contains(line, "FAILED") || contains(line, "TOO FEW"))) << line;
        succeeded += line == "end: 3";
    }
    ASSERT_EQ(succeeded, 3) << run.output;

    const std::vector<double> f = numbersAfter(run.output, "fit: ");
    ASSERT_EQ(f.size(), 4u) << run.output;
    const Fit fit{int(f[0]), int(f[1]), int(f[2]), int(f[3])};
    const std::vector<double> line = numbersAfter(run.output, "drawn: boundary ");
    const std::vector<double> ramp = numbersAfter(run.output, "drawn: gradient ");
    const std::vector<double> brush = numbersAfter(run.output, "drawn: brush ");
    const std::vector<double> boundary = numbersAfter(run.output, "stored: boundary ");
    const std::vector<double> gradient = numbersAfter(run.output, "stored: gradient ");
    ASSERT_EQ(line.size(), 4u);
    ASSERT_EQ(ramp.size(), 4u);
    ASSERT_EQ(brush.size(), 8u);
    ASSERT_EQ(boundary.size(), 4u);
    ASSERT_EQ(gradient.size(), 5u);

    // The boundary is kept across the whole image, left to right as drawn, through the drawn
    // points (in image fractions).
    EXPECT_EQ(boundary[0], 0.0);
    EXPECT_EQ(boundary[2], 1.0);
    for (int end = 0; end < 4; end += 2) {
        const double x = line[end] / fit.width;
        EXPECT_NEAR(boundary[1] + (boundary[3] - boundary[1]) * x, line[end + 1] / fit.height, 1e-4);
    }
    // The gradient line crosses the drag's end at a right angle (in displayed pixels); its
    // height is the drag's length.
    const double dragX = ramp[2] - ramp[0];
    const double dragY = ramp[3] - ramp[1];
    const double lineX = (gradient[2] - gradient[0]) * fit.width;
    const double lineY = (gradient[3] - gradient[1]) * fit.height;
    EXPECT_NEAR((dragX * lineX + dragY * lineY) / std::hypot(lineX, lineY), 0.0, 1e-3);
    const double endOffset = (ramp[2] - gradient[0] * fit.width) * lineY - (ramp[3] - gradient[1] * fit.height) * lineX;
    EXPECT_NEAR(endOffset / std::hypot(lineX, lineY), 0.0, 1e-3);
    EXPECT_NEAR(gradient[4], std::hypot(dragX, dragY) / fit.height, 1e-5);

    // The engine got exactly those regions: the command line given the same values writes the
    // same bytes, and without them another result.
    const std::string mask = saved("mask.png");
    ASSERT_EQ(runCommandLine("--boundary " + joined(boundary), m_dir.file("boundary.tif")), 0);
    ASSERT_EQ(runCommandLine("--gradient " + joined(gradient), m_dir.file("gradient.tif")), 0);
    ASSERT_EQ(runCommandLine("--mask " + shellQuoted(mask), m_dir.file("mask.tif")), 0);
    ASSERT_EQ(runCommandLine("", m_dir.file("plain.tif")), 0);
    for (const std::string name : {"boundary.tif", "gradient.tif", "mask.tif"}) {
        const std::string window = fileBytes(saved(name));
        ASSERT_FALSE(window.empty()) << name;
        EXPECT_TRUE(window == fileBytes(m_dir.file(name))) << name << " differs from the command line's";
        EXPECT_FALSE(window == fileBytes(m_dir.file("plain.tif"))) << name << " has no region";
    }

    // The painted mask has the image's size, sky along the stroke, ground where it was erased.
    const Picture painted = readPng(mask);
    ASSERT_EQ(painted.rgb.width, 600);
    ASSERT_EQ(painted.rgb.height, 400);
    const auto maskAt = [&](int x, int y) {
        return painted.at(x * painted.rgb.width / fit.width, y * painted.rgb.height / fit.height);
    };
    EXPECT_EQ(maskAt(int(brush[0] + brush[2]) / 4, int(brush[1])), (std::array<int, 3>{0, 255, 0}));
    EXPECT_EQ(maskAt(int(brush[4]), int(brush[5])), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(maskAt(fit.width / 2, fit.height - 2), (std::array<int, 3>{0, 0, 0}));

    // On screen, against the preview without any overlay.
    const Picture base = readPng(saved("base.png"));
    const Picture lined = readPng(saved("boundary.png"));
    const Picture ramped = readPng(saved("gradient.png"));
    const Picture brushed = readPng(saved("brush.png"));
    EXPECT_EQ(base.at(2, 2), (std::array<int, 3>{159, 159, 159}));
    EXPECT_EQ(lined.at((fit.x + int(line[0] + line[2]) / 2), fit.y + int(line[1] + line[3]) / 2),
              (std::array<int, 3>{159, 127, 255}));
    int ground = 0;
    int sky = 0;
    forGrid(fit, 7, [&](int x, int y, int sx, int sy) {
        if (HasFatalFailure())
            return;  // one wrong pixel is enough to see
        // Beside the line the ground (right of the drawing direction) is darkened.
        const double side = (line[2] - line[0]) * (y - line[1]) - (line[3] - line[1]) * (x - line[0]);
        const double distance = side / std::hypot(line[2] - line[0], line[3] - line[1]);
        if (std::fabs(distance) > 2) {
            const auto want = distance > 0 ? halved(base.at(sx, sy)) : base.at(sx, sy);
            (distance > 0 ? ground : sky) += 1;
            ASSERT_EQ(lined.at(sx, sy), want) << x << "," << y;
        }
        // The gradient darkens beyond its line and ramps up to the sky over its height.
        const double gx = gradient[0] * fit.width;
        const double gy = gradient[1] * fit.height;
        const double d = ((x - gx) * lineY - (y - gy) * lineX) / std::hypot(lineX, lineY);
        const double height = gradient[4] * fit.height;
        if (d < -2) {
            ASSERT_EQ(ramped.at(sx, sy), halved(base.at(sx, sy))) << x << "," << y;
        } else if (d > height + 2) {
            ASSERT_EQ(ramped.at(sx, sy), base.at(sx, sy)) << x << "," << y;
        } else if (d > 2 && d < height - 2) {
            const int t = static_cast<int>(256 * d / height);
            for (int c = 0; c < 3; ++c) {
                const int v = base.at(sx, sy)[c];
                ASSERT_NEAR(ramped.at(sx, sy)[c], v * t / 512 + v / 2, 1) << x << "," << y;  // t may round either way
            }
        }
        // Painted sky is tinted green; the ground keeps its colours but for a light hatch.
        const auto was = base.at(sx, sy);
        const auto now = brushed.at(sx, sy);
        if (maskAt(x, y)[1] >= 128)
            ASSERT_EQ(now, (std::array<int, 3>{was[0], std::min(255, was[1] + 15), was[2]})) << x << "," << y;
        else if ((x + y) % 16 == 0)
            ASSERT_EQ(now, (std::array<int, 3>{(was[0] + 85) * 3 / 4, (was[1] + 85) * 3 / 4, (was[2] + 85) * 3 / 4}));
        else
            ASSERT_EQ(now, was) << x << "," << y;
    });
    EXPECT_GT(ground, 100);
    EXPECT_GT(sky, 100);
}

TEST_F(PreviewRun, LargeAndRawImagesLoadWhileThePreviewRepaints)
{
    // A 6000 × 4000 TIFF, a small DNG through the RAW path and a file that is no image.
    const std::string large = m_dir.file("large.tif");
    {
        TIFFSetErrorHandler(nullptr);
        TIFF* tiff = TIFFOpen(large.c_str(), "w");
        ASSERT_NE(tiff, nullptr);
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 6000);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 4000);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 64);
        std::vector<uint8_t> row(6000 * 3);
        for (uint32_t y = 0; y < 4000; ++y) {
            for (size_t x = 0; x < 6000; ++x) {
                row[x * 3] = static_cast<uint8_t>(x / 24);
                row[x * 3 + 1] = static_cast<uint8_t>(y / 16);
                row[x * 3 + 2] = 90;
            }
            ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), y, 0), 1);
        }
        TIFFClose(tiff);
    }
    veldng::DngFrame frame;
    frame.width = 600;
    frame.height = 400;
    frame.mosaic.assign(600 * 400, 20000);
    ASSERT_TRUE(veldng::writeDng(frame, m_dir.file("frame.dng")));
    ASSERT_TRUE(veltest::writeBytes(m_dir.file("broken.dng"), std::string(4096, 'x')));

    const ProgramRun run = this->run("loading", {large, m_dir.file("frame.dng"), m_dir.file("broken.dng")});
    ASSERT_EQ(run.status, 0) << run.output;
    int paints = -1;
    const size_t at = run.output.find("loaded: large.tif paints=");
    ASSERT_NE(at, std::string::npos) << run.output;
    ASSERT_EQ(std::sscanf(run.output.c_str() + at, "loaded: large.tif paints=%d", &paints), 1);
    EXPECT_GE(paints, 3) << "the window did not repaint while loading";
    EXPECT_TRUE(contains(run.output, " image=1 full=6000x4000 shown=")) << run.output;
    EXPECT_TRUE(contains(run.output, "loaded: frame.dng paints=")) << run.output;
    EXPECT_TRUE(contains(run.output, " image=1 full=600x400 shown=")) << run.output;
    EXPECT_TRUE(contains(run.output, "loaded: broken.dng")) << run.output;
    EXPECT_TRUE(contains(run.output, "image=0 full=0x0 shown=0x0 message=Read failed! Unsupported format or invalid path"))
        << run.output;
}
