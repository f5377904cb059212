#include <gtest/gtest.h>

#include <sstream>

#include "ProgressView.h"
#include "Velostar.h"

using velcli::ProgressLog;

namespace {

struct Step {
    int stage;
    int detail;
    const wchar_t* path;
};

std::vector<std::string> logOf(const std::vector<Step>& steps, ProgressLog& log)
{
    std::vector<std::string> lines;
    for (const auto& step : steps)
        log.add(step.stage, step.detail, step.path ? "frame_001.tif" : "", lines);
    log.flush(lines);
    return lines;
}

}  // namespace

TEST(ProgressLog, ReadsLikeTheDesktopLog)
{
    ProgressLog log;
    const auto lines = logOf({{4, 0, nullptr},
                              {1, 0, L"/d/frame_001.tif"},
                              {2, 1, nullptr},
                              {6, 0, nullptr},
                              {7, 1, nullptr},
                              {5, 1, nullptr},
                              {14, 0, nullptr},
                              {0, 9, nullptr},
                              {26, 0, nullptr},
                              {27, 3, nullptr},
                              {20, 0, nullptr},
                              {21, 2, nullptr},
                              {28, 0, nullptr},
                              {29, 1, nullptr},
                              {15, 1, nullptr},
                              {30, 0, nullptr},
                              {34, 0, nullptr},
                              {35, 4, nullptr},
                              {31, 1, nullptr},
                              {54, 0, nullptr},
                              {56, 0, L"/out/r.tif"},
                              {57, 2, nullptr},
                              {55, 1, nullptr}},
                             log);
    const std::vector<std::string> expected = {
        "[Building noise image]",
        "Loading frame_001.tif ... done",
        "Analyzing noises ... done",
        "Noise image ready",
        "[Analysis & composition]",
        "Analyzing image ... TOO FEW STARS",
        "Removing dynamic hot pixels ... FAILED",
        "Composing ... done",
        "[Integration]",
        "Computing and integrating ... Cancelled.",
        "[Output]",
        "Writing frame_001.tif ... FAILED",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(log.failCount(), 2);
}

TEST(ProgressLog, UnclosedStageStillGetsItsOwnLine)
{
    ProgressLog log;
    // A closing report without a word (detail 0) leaves the line open; the next opening ends it.
    const auto lines = logOf({{18, 0, nullptr}, {19, 0, nullptr}, {22, 0, nullptr}, {23, 1, nullptr}}, log);
    EXPECT_EQ(lines, (std::vector<std::string>{"Reducing noise ...", "Correcting vignetting ... done"}));
}

TEST(ProgressView, PlainLinesWhenNotATerminalAndNothingWhenQuiet)
{
    std::ostringstream plain, quiet;
    velcli::ProgressView lines(plain, velcli::ProgressStyle::Lines, 10);
    velcli::ProgressView silent(quiet, velcli::ProgressStyle::Quiet, 10);
    const ProgressRecord records[] = {{14, nullptr, 0, 0},
                                      {1, L"C:\\img\\IMG_1.CR2", 0, 0},
                                      {2, nullptr, 1, 1},
                                      {0, nullptr, 9, 5},
                                      {38, nullptr, 0, 5}};
    for (const auto& record : records) {
        lines.onRecord(record);
        silent.onRecord(record);
    }
    // Lines appear as soon as their stage closed; the open one waits for finish().
    EXPECT_EQ(plain.str(), "[Analysis & composition]\nLoading IMG_1.CR2 ... done\n");
    lines.finish();
    silent.finish();
    EXPECT_EQ(plain.str(), "[Analysis & composition]\nLoading IMG_1.CR2 ... done\nNormalizing ...\n");
    EXPECT_EQ(quiet.str(), "");
}

TEST(ProgressView, BarShowsStageTextAndStaysWithinTheWidth)
{
    std::ostringstream out;
    velcli::ProgressView bar(out, velcli::ProgressStyle::Bar, 40, 60);
    bar.onRecord({26, nullptr, 0, 10});
    const std::string text = out.str();
    EXPECT_NE(text.find("Analyzing image"), std::string::npos);
    EXPECT_NE(text.find(" 25%"), std::string::npos);
    const size_t start = text.rfind("\033[K") + 3;
    EXPECT_LE(text.size() - start, 59u);
    bar.onRecord({27, nullptr, 3, 11});  // kept above the bar
    EXPECT_NE(out.str().find("Analyzing image ... TOO FEW STARS\n"), std::string::npos);
}
