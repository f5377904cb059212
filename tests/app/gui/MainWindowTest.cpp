#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ProgramRun.h"
#include "support/TempDir.h"

namespace {

using namespace velguitest;

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef VELOSTAR_NO_DESKTOP_PROGRAM
        GTEST_SKIP() << "the desktop program is not part of this build";
#else
        ASSERT_TRUE(std::filesystem::exists(programPath())) << programPath();
        ASSERT_EQ(std::system("command -v xvfb-run > /dev/null"), 0) << "xvfb-run is missing (scripts/setup.sh)";
#endif
    }
};

}  // namespace

TEST_F(MainWindow, OpensWithEnglishMenusAndExitsCleanly)
{
    const ProgramRun run = runSelfTest("en");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "window: Velostar - New project\n")) << run.output;
    for (const char* line : {"menu: &Project\n", "item: &New project\n", "item: E&xit\n", "menu: &File\n",
                             "item: &Star images\n", "item: &Output\n", "menu: &Help\n", "item: &About Velostar\n",
                             "item: &Website\n"})
        EXPECT_TRUE(contains(run.output, line)) << line << run.output;
}

TEST_F(MainWindow, ProgressDialogReportsTheEnginesRefusal)
{
    // A run without images: the worker thread creates, runs and releases a real engine, whose
    // refusal reaches the dialog's log through the queued finish event.
    const ProgramRun run = runSelfTest("en");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "log: Please add star image(s).\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "end: 2\n")) << run.output;
}

TEST_F(MainWindow, ShowsChineseMenusForVelLangTc)
{
    const ProgramRun run = runSelfTest("tc");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "window: Velostar - 新增專案\n")) << run.output;
    for (const char* line : {"menu: 專案(&P)\n", "menu: 檔案(&F)\n", "menu: 說明(&H)\n", "item: 星空影像(&S)\n"})
        EXPECT_TRUE(contains(run.output, line)) << line << run.output;
    EXPECT_FALSE(contains(run.output, "&File")) << run.output;
    EXPECT_TRUE(contains(run.output, "log: 請加入星空影像。\n")) << run.output;
}

TEST_F(MainWindow, JapaneseFallsBackToEnglishForMissingTexts)
{
    const ProgramRun run = runSelfTest("jp");
    EXPECT_EQ(run.status, 0) << run.output;
    // The Japanese table has no menu titles but names the categories.
    EXPECT_TRUE(contains(run.output, "menu: &File\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "window: Velostar - New project\n")) << run.output;
}

TEST_F(MainWindow, ProjectThatIsNoProjectFailsToOpenAndLeavesANewProject)
{
    veltest::TempDir dir;
    ASSERT_TRUE(veltest::writeBytes(dir.file("binary.vlp"), std::string("\x89PNG\r\n\x1a\n\0\0\xff", 11)));
    ASSERT_TRUE(veltest::writeBytes(dir.file("cut.vlp"), "<?xml version=\"1.0\"?>\n<VelostarProject version=\"1.0\">\n  <Star"));
    { std::ofstream huge(dir.file("huge.vlp")); }
    std::filesystem::resize_file(dir.file("huge.vlp"), 100u << 20);  // refused by its size, unread
    for (const char* name : {"binary.vlp", "cut.vlp", "huge.vlp"}) {
        const ProgramRun run = runSelfTest("en", "VELOSTAR_SELFTEST=1", 120, shellQuoted(dir.file(name)));
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_TRUE(contains(run.output, "message: Error: Failed to open project!\n")) << name << run.output;
        EXPECT_TRUE(contains(run.output, "window: Velostar - New project\n")) << name << run.output;
    }
}
