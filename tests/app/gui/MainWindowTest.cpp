#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct ProgramRun {
    int status = -1;
    std::string output;
};

std::string programPath()
{
    const char* dir = std::getenv("VELOSTAR_BIN_DIR");
    return std::string(dir ? dir : VELOSTAR_TEST_BINARY_DIR "/bin") + "/Velostar";
}

// The caller's race-checker options plus the toolkit's suppressions.
std::string tsanOptions()
{
    const char* given = std::getenv("TSAN_OPTIONS");
    std::string options = given ? std::string(given) + ":" : std::string();
    return "'" + options + "suppressions=" + VELOSTAR_TEST_SOURCE_DIR + "/tests/app/gui/tsan.supp'";
}

// Starts the program under its own virtual X server with the self-test switched on. The server
// number starts from one derived from the process id so that parallel tests rarely collide,
// and a run whose server could not start is retried.
ProgramRun runSelfTest(const std::string& language)
{
    ProgramRun run;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int server = 100 + (getpid() * 7 + attempt * 131) % 800;
        const std::string command = "env VELOSTAR_SELFTEST=1 NO_AT_BRIDGE=1 LSAN_OPTIONS=suppressions=" +
                                    std::string(VELOSTAR_TEST_SOURCE_DIR) +
                                    "/tests/app/gui/lsan.supp:print_suppressions=0 TSAN_OPTIONS=" + tsanOptions() +
                                    " VELLANG='" + language +
                                    "' timeout 120 xvfb-run -a -n " + std::to_string(server) +
                                    " -s '-screen 0 1280x800x24' '" + programPath() + "'";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            continue;
        run.output.clear();
        std::array<char, 4096> buffer;
        size_t got = 0;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
            run.output.append(buffer.data(), got);
        const int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (run.status == 0 || run.output.find("window: ") != std::string::npos)
            break;
    }
    return run;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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
