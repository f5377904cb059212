#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "ProgramRun.h"
#include "SkyFiles.h"
#include "support/TempDir.h"

namespace {

using namespace velguitest;
namespace fs = std::filesystem;

constexpr int kRunTimeoutSeconds = 300;  // generous for sanitizer builds; a hang still ends

std::string cliPath()
{
    const char* dir = std::getenv("VELOSTAR_BIN_DIR");
    return std::string(dir ? dir : VELOSTAR_TEST_BINARY_DIR "/bin") + "/velostar-cli";
}

}  // namespace

// The desktop program opens a project named on its command line, saves it again with its mask and
// its options and runs it; velostar-cli, given the project the desktop program wrote, writes the
// same file.
TEST(ProjectRun, CommandLineRunOfASavedProjectEqualsTheDesktopRun)
{
#ifdef VELOSTAR_NO_DESKTOP_PROGRAM
    GTEST_SKIP() << "the desktop program is not part of this build";
#else
    ASSERT_EQ(std::system("command -v xvfb-run > /dev/null"), 0) << "xvfb-run is missing (scripts/setup.sh)";
    veltest::TempDir dir;
    velsky::SkyOptions options;
    options.width = 1200;
    options.height = 800;
    options.frames = 5;
    options.starsPerMegapixel = 3000;
    options.hotPixelsPerMegapixel = 0;
    options.foreground = true;
    options.threads = 1;
    const velsky::SeriesFiles series = velsky::writeSeries(velsky::SkyGenerator(options), dir.file("frames"));
    fs::create_directory(dir.file("out"));

    std::string body;
    for (const std::string& frame : series.frames)
        body += "<StarImage><RelativePath>frames\\" + frame + "</RelativePath></StarImage>";
    body += "<Output><RelativePath>out\\desktop.tif</RelativePath></Output>"
            "<AutoBrightness>true</AutoBrightness><EnhanceStars>true</EnhanceStars>"
            "<EnhanceStarsStrength max=\"4\">1</EnhanceStarsStrength><ColorSpace max=\"2\">1</ColorSpace>"
            "<Mask><RelativePath>frames\\" + series.mask + "</RelativePath></Mask>"
            "<SkyRegionMode max=\"3\">3</SkyRegionMode>";
    ASSERT_TRUE(veltest::writeBytes(dir.file("input.vlp"),
                                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VelostarProject version=\"1.0\">" +
                                        body + "</VelostarProject>\n"));

    const ProgramRun run =
        runSelfTest("en", "VELOSTAR_SELFTEST=project VELOSTAR_SELFTEST_PROJECT=" + shellQuoted(dir.file("saved.vlp")),
                    kRunTimeoutSeconds, shellQuoted(dir.file("input.vlp")));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "window: Velostar - input\n")) << run.output;
    EXPECT_TRUE(contains(run.output, "saved: Velostar - saved\n")) << run.output;
    ASSERT_TRUE(contains(run.output, "end: 3\n")) << run.output;
    EXPECT_TRUE(fs::exists(dir.file("saved.mask.png")));
    const std::string saved = veltest::readBytes(dir.file("saved.vlp"));
    EXPECT_TRUE(contains(saved, "<SkyRegionMode max=\"3\">3</SkyRegionMode>"));
    // Saving and Start read the sliders: the loaded strength has to have reached them.
    EXPECT_TRUE(contains(saved, "<EnhanceStarsStrength max=\"4\">1</EnhanceStarsStrength>")) << saved;

    const std::string cli = shellQuoted(cliPath()) + " --quiet -o " + shellQuoted(dir.file("out/cli.tif")) + " " +
                            shellQuoted(dir.file("saved.vlp"));
    ASSERT_EQ(std::system(cli.c_str()), 0) << cli;
    const std::string desktop = veltest::readBytes(dir.file("out/desktop.tif"));
    ASSERT_FALSE(desktop.empty());
    EXPECT_TRUE(desktop == veltest::readBytes(dir.file("out/cli.tif"))) << "the two runs wrote different files";
#endif
}
