#include <gtest/gtest.h>

#include "ProgressLog.h"
#include "TextTable.h"

using namespace velapp;

namespace {

class ProgressLogTest : public ::testing::Test {
protected:
    void SetUp() override { programTexts().fill(Language::English); }
};

}  // namespace

TEST(FileNamePart, TakesTheTextAfterTheLastSeparator)
{
    EXPECT_EQ(fileNamePartOf(L"/photos/night/IMG_1.CR2"), L"IMG_1.CR2");
    EXPECT_EQ(fileNamePartOf(L"C:\\photos\\a.jpg"), L"a.jpg");
    EXPECT_EQ(fileNamePartOf(L"D:a.tif"), L"a.tif");
    EXPECT_EQ(fileNamePartOf(L"plain.tif"), L"plain.tif");
    EXPECT_EQ(fileNamePartOf(L"C:"), L"C:");
    EXPECT_EQ(fileNamePartOf(L"/photos/"), L"/photos/");
    EXPECT_EQ(fileNamePartOf(L""), L"");
    EXPECT_EQ(fileNamePartOf(nullptr), L"");
}

TEST_F(ProgressLogTest, OpeningReportsLeaveTheLineOpenForTheirEnd)
{
    const std::string line = progressLogLine(1, 0, "a.cr2").text + progressLogLine(2, 1, "a.cr2").text;
    EXPECT_EQ(line, "Loading a.cr2 ... done\n");
    EXPECT_EQ(progressLogLine(56, 0, "out.tif").text, "Writing out.tif ... ");
    EXPECT_EQ(progressLogLine(3, 0, "b.cr2").text, "Prefetch b.cr2\n");
    EXPECT_EQ(progressLogLine(14, 0, "").text, "[Analysis & composition]\n");
    EXPECT_EQ(progressLogLine(5, 1, "").text, "Noise image ready\n");
    EXPECT_EQ(progressLogLine(9, 1, "").text, "Vignetting image ready\n");
}

TEST_F(ProgressLogTest, StageEndsFollowTheirDetail)
{
    const LogLine failed = progressLogLine(19, 2, "");
    EXPECT_EQ(failed.text, "FAILED\n");
    EXPECT_TRUE(failed.failed);
    EXPECT_EQ(progressLogLine(35, 4, "").text, "Cancelled.\n");
    EXPECT_EQ(progressLogLine(27, 3, "").text, "TOO FEW STARS\n");
    EXPECT_FALSE(progressLogLine(27, 3, "").failed);
    EXPECT_EQ(progressLogLine(27, 1, "").text, "done\n");
    EXPECT_EQ(progressLogLine(29, 9, "").text, "");
    for (int silent : {0, 15, 31, 37, 55})
        EXPECT_EQ(progressLogLine(silent, 1, "").text, "") << silent;
}

TEST_F(ProgressLogTest, SuccessReportsFailuresAndWhereFramesWent)
{
    RunSettings settings;
    settings.output = L"/data/run/out.tif";
    FinishReport report = finishReport(1, settings, 2);
    EXPECT_EQ(report.text, "2 fail(s)\nCompleted successfully!");
    EXPECT_EQ(report.endCode, EndSucceeded);
    EXPECT_TRUE(report.bell);

    settings.integrationMode = 3;
    EXPECT_EQ(finishReport(1, settings, 0).text, "Aligned images were outputted to /data/run\nCompleted successfully!");
    settings.integrationMode = 0;
    settings.timeLapse = true;
    EXPECT_EQ(finishReport(1, settings, 0).text,
              "Time-lapse frames were outputted to /data/run\nCompleted successfully!");
}

TEST_F(ProgressLogTest, FailuresEndTheDialogWithTheirMessage)
{
    RunSettings settings;
    EXPECT_EQ(finishReport(2, settings, 0).text, "Writting output failed!");
    EXPECT_EQ(finishReport(3, settings, 0).text, "Failed. Maybe improper exposure.");
    EXPECT_EQ(finishReport(5, settings, 0).text, "Please add star image(s).");
    EXPECT_EQ(finishReport(6, settings, 0).text, "Please assign output file.");
    EXPECT_EQ(finishReport(8, settings, 0).text, "Insufficient memory!");
    for (int unknown : {0, 9, 10, 11, -1})
        EXPECT_EQ(finishReport(unknown, settings, 0).text, "Unknown error!");
    for (int code : {2, 3, 5, 6, 7, 8, 10}) {
        EXPECT_EQ(finishReport(code, settings, 3).endCode, EndFailed) << code;
        EXPECT_TRUE(finishReport(code, settings, 3).bell) << code;
    }
    const FinishReport cancelled = finishReport(4, settings, 0);
    EXPECT_EQ(cancelled.text, "Cancelled.");
    EXPECT_EQ(cancelled.endCode, EndCancelled);
    EXPECT_FALSE(cancelled.bell);
}

TEST_F(ProgressLogTest, TooFewStarsHintFollowsTheDrawnRegions)
{
    RunSettings settings;
    settings.starBound = {0.1f, 0.5f, 0.9f, 0.4f};
    EXPECT_EQ(finishReport(3, settings, 0).text, "Failed. Maybe improper sky mask.");
    settings.starBound = {};
    settings.gradient = {0.1f, 0.5f, 0.9f, 0.4f, 0.0f};  // no height: not a region
    EXPECT_EQ(finishReport(3, settings, 0).text, "Failed. Maybe improper exposure.");
    settings.gradient[4] = 0.2f;
    EXPECT_EQ(finishReport(3, settings, 0).text, "Failed. Maybe improper sky mask.");
}

TEST(FolderOf, DropsTheFileName)
{
    EXPECT_EQ(folderOf(L"/a/b/c.tif"), L"/a/b");
    EXPECT_EQ(folderOf(L"/c.tif"), L"/");
    EXPECT_EQ(folderOf(L"c.tif"), L"");
}
