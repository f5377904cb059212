#include <gtest/gtest.h>

#include <tiffio.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "SkyFiles.h"
#include "support/TempDir.h"

namespace {

using namespace velguitest;
namespace fs = std::filesystem;

constexpr int kRunTimeoutSeconds = 300;  // generous for sanitizer builds; a hang still ends

// A few small generated frames in frames/ and an empty out/ folder for the result.
class StackingRun : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef VELOSTAR_NO_DESKTOP_PROGRAM
        GTEST_SKIP() << "the desktop program is not part of this build";
#else
        ASSERT_TRUE(fs::exists(programPath())) << programPath();
        ASSERT_EQ(std::system("command -v xvfb-run > /dev/null"), 0) << "xvfb-run is missing (scripts/setup.sh)";
        velsky::SkyOptions options;
        options.width = 1200;
        options.height = 800;
        options.frames = 5;
        options.threads = 1;
        const velsky::SkyGenerator generator(options);
        const velsky::SeriesFiles series = velsky::writeSeries(generator, m_dir.file("frames"));
        for (const std::string& name : series.frames)
            m_frames.push_back(m_dir.file("frames") + "/" + name);
        fs::create_directory(m_dir.file("out"));
#endif
    }

    std::string output() const { return m_dir.file("out") + "/result.tif"; }

    int runCommandLine(const std::string& options, const std::string& output) const
    {
        return runCommandLineJob(m_frames, options, output);
    }

    ProgramRun run(const std::string& mode) const
    {
        std::string files;
        for (const std::string& frame : m_frames)
            files += frame + "\n";
        return runSelfTest("en",
                           "VELOSTAR_SELFTEST=" + mode + " VELOSTAR_SELFTEST_FILES=" + shellQuoted(files) +
                               " VELOSTAR_SELFTEST_OUTPUT=" + shellQuoted(output()),
                           kRunTimeoutSeconds);
    }

    std::vector<std::string> outFolderNames() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir.file("out")))
            names.push_back(entry.path().filename().string());
        return names;
    }

    veltest::TempDir m_dir;
    std::vector<std::string> m_frames;
};

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> logLines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("log: ", 0) == 0)
            lines.push_back(line.substr(5));
    }
    return lines;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& start, const std::string& end)
{
    for (const std::string& line : lines) {
        if (line.rfind(start, 0) == 0 && line.size() >= end.size() &&
            line.compare(line.size() - end.size(), end.size(), end) == 0)
            return true;
    }
    return false;
}

bool readableTiff(const std::string& path, uint32_t& width, uint32_t& height)
{
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (!tiff)
        return false;
    const bool sized = TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) == 1 &&
                       TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) == 1;
    tsize_t got = -1;
    if (sized && height > 0) {
        std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize(tiff)));
        got = TIFFReadScanline(tiff, row.data(), height - 1);
    }
    TIFFClose(tiff);
    return sized && got == 1;
}

}  // namespace

TEST_F(StackingRun, StartProducesTheResultAndLogsEveryStage)
{
    const ProgramRun run = this->run("run");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "end: 3\n")) << run.output;
    const std::vector<std::string> lines = logLines(run.output);
    ASSERT_FALSE(lines.empty()) << run.output;
    // Per-file stages open with " ... " and close on the same line.
    EXPECT_TRUE(hasLine(lines, "Analyzing image", " ... done")) << run.output;
    EXPECT_TRUE(hasLine(lines, "Composing", " ... done")) << run.output;
    EXPECT_TRUE(hasLine(lines, "Writing", " ... done")) << run.output;
    for (const std::string& line : lines)
        EXPECT_FALSE(contains(line, "FAILED")) << line;
    EXPECT_EQ(lines.back(), "Completed successfully!") << run.output;

    uint32_t width = 0;
    uint32_t height = 0;
    ASSERT_TRUE(readableTiff(output(), width, height)) << output();
    EXPECT_GT(width, 0u);
    EXPECT_GT(height, 0u);
    EXPECT_EQ(outFolderNames(), std::vector<std::string>{"result.tif"});
}

TEST_F(StackingRun, CancelWithYesEndsTheRunAndLeavesNothingBehind)
{
    const ProgramRun run = this->run("cancel");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "press: Cancel\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "end: 1\n")) << run.output;
    const std::vector<std::string> lines = logLines(run.output);
    ASSERT_FALSE(lines.empty()) << run.output;
    EXPECT_EQ(lines.back(), "Cancelled.") << run.output;
    EXPECT_FALSE(contains(run.output, "Completed successfully!")) << run.output;
    // Neither the result nor any temporary file of the run stays in the output folder.
    EXPECT_TRUE(outFolderNames().empty()) << outFolderNames().front();
}

TEST_F(StackingRun, OptionsChosenWithMouseAndKeysGiveTheCommandLinesResult)
{
    // The program double-clicks tree items, answers a context menu, clicks radio buttons and a
    // check box and moves sliders with the arrow keys, then clicks Start.
    const ProgramRun run = this->run("options");
    ASSERT_EQ(run.status, 0) << run.output;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);)
        EXPECT_FALSE(line.rfind("step: ", 0) == 0 && contains(line, " FAILED")) << line;
    ASSERT_TRUE(contains(run.output, "end: 3\n")) << run.output;

    const std::string expected = m_dir.file("cli.tif");
    ASSERT_EQ(runCommandLine("--mode select --sigma 1.7 --auto-brightness --enhance-stars 2.6 --distortion complex "
                             "--color-space adobe --unify-exposure --no-remove-hot-pixels --freeze-selective",
                             expected),
              0);
    const std::string window = fileBytes(output());
    ASSERT_FALSE(window.empty());
    EXPECT_TRUE(window == fileBytes(expected)) << "the window's result differs from the command line's";
    // Without the options the result is another one, so the comparison above means something.
    ASSERT_EQ(runCommandLine("--no-remove-hot-pixels", m_dir.file("plain.tif")), 0);
    EXPECT_FALSE(window == fileBytes(m_dir.file("plain.tif")));
}
