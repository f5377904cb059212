#include <gtest/gtest.h>

#include <memory>

#include "CliTestSupport.h"
#include "EngineConfig.h"
#include "EngineSetup.h"
#include "PreviewUpdates.h"
#include "ProjectFile.h"
#include "StartCheck.h"
#include "support/RecordingEngine.h"
#include "support/TempDir.h"

namespace {

// Configures `engine` from the command line and returns what it recorded.
std::vector<std::string> configure(const std::vector<std::string>& words, Velostar& engine,
                                   const velcli::MaskImage* mask = nullptr)
{
    velcli::CliOptions o;
    const auto result = parseWords(words, o);
    EXPECT_TRUE(result.run) << result.error;
    velcli::configureEngine(engine, o, velcli::resolvePaths(o), mask);
    auto* recording = dynamic_cast<RecordingEngine*>(&engine);
    return recording ? recording->calls : std::vector<std::string>{};
}

int totalSteps(const std::vector<std::string>& words, const velcli::MaskImage* mask = nullptr)
{
    std::unique_ptr<Velostar, void (*)(Velostar*)> engine(Velostar::create(), Velostar::destroy);
    configure(words, *engine, mask);
    return engine->getTotalSteps();
}

}  // namespace

// The desktop program's order, every value as given on the command line.
TEST(EngineConfig, EveryOptionReachesTheEngineInTheDesktopOrder)
{
    RecordingEngine engine;
    const auto calls = configure({"-o", "/out/r.tif", "--noise", "/c/d1.tif", "--noise", "/c/d2.tif", "--vignetting",
                                  "/c/f1.tif", "--trails", "--motion-effect", "--mode", "select", "--sigma", "1.4",
                                  "--freeze-selective", "--no-align-linear", "--auto-brightness", "--hdr",
                                  "--no-remove-hot-pixels", "--merge-pixels", "--time-lapse", "4", "--pollution",
                                  "deep", "--pollution-strength", "1", "--aggressive", "--enhance-stars", "2.2",
                                  "--distortion", "tele", "--color-space", "linear", "--unify-exposure",
                                  "--homogenize", "--boundary", "100,800,3000,700", "/i/base.tif", "/i/s1.tif",
                                  "/i/s2.tif"},
                                 engine);
    const auto expected = inDesktopOrder({
        {"setBaseImage", {"/i/base.tif"}}, {"addStarImage", {"/i/s1.tif", "/i/s2.tif"}},
        {"addNoiseImage", {"/c/d1.tif", "/c/d2.tif"}}, {"addVignettingImage", {"/c/f1.tif"}},
        {"setUnifyExposure", {"true"}}, {"setHomogenizeVignetting", {"true"}}, {"setOutputFile", {"/out/r.tif"}},
        {"setCompositionMode", {"1"}}, {"setIntegrationMode", {"1"}}, {"setFreezeGroundSelective", {"true"}},
        {"setDumpAsLinear", {"false"}}, {"setTrailsMotionEffect", {"true"}}, {"setSigma", {"1.4"}},
        {"setAutoBrightness", {"true"}}, {"setHDR", {"true"}}, {"setRemoveHotPixels", {"false"}},
        {"setMergePixels", {"true"}}, {"setTimeLapseFrames", {"4"}}, {"setReducePollution", {"1, 1"}},
        {"setAggressiveSuppression", {"true"}}, {"setEnhanceStars", {"2.2"}}, {"setDistortionCorrection", {"1"}},
        {"setColorSpace", {"2"}}, {"setStarBound", {"100, 800, 3000, 700"}}});
    EXPECT_EQ(calls, expected);
}

TEST(EngineConfig, DefaultsAndConditionalCalls)
{
    RecordingEngine engine;
    const auto calls = configure({"-o", "/o.jpg", "/b.tif"}, engine);
    const std::vector<std::string> expected = {
        "setBaseImage(/b.tif)",           "setUnifyExposure(false)",     "setHomogenizeVignetting(false)",
        "setOutputFile(/o.jpg)",          "setCompositionMode(0)",       "setIntegrationMode(0)",
        "setIntegrationMode(0)",          "setFreezeGroundSelective(false)", "setDumpAsLinear(true)",
        "setTrailsMotionEffect(false)",   "setSigma(2)",                 "setAutoBrightness(false)",
        "setHDR(false)",                  "setRemoveHotPixels(true)",    "setMergePixels(false)",
        "setTimeLapseFrames(0)",          "clearReducePollution()",      "setAggressiveSuppression(false)",
        "setDistortionCorrection(0)",     "setColorSpace(0)",
    };
    // No star images: the mode is first reset to 0, and no enhancement or region call is made.
    EXPECT_EQ(calls, expected);
}

TEST(EngineConfig, TimeLapseOnlyWhereItMeansSomething)
{
    auto timeLapseCall = [](std::vector<std::string> words) {
        RecordingEngine engine;
        words.insert(words.end(), {"-o", "/o.tif", "--time-lapse", "3", "/b.tif", "/s.tif"});
        for (const auto& call : configure(words, engine))
            if (call.rfind("setTimeLapseFrames", 0) == 0)
                return call;
        return std::string();
    };
    EXPECT_EQ(timeLapseCall({}), "setTimeLapseFrames(3)");
    EXPECT_EQ(timeLapseCall({"--mode", "align"}), "setTimeLapseFrames(0)");
    EXPECT_EQ(timeLapseCall({"--trails"}), "setTimeLapseFrames(0)");
    EXPECT_EQ(timeLapseCall({"--trails", "--motion-effect"}), "setTimeLapseFrames(3)");
    EXPECT_EQ(timeLapseCall({"--trails", "--mode", "align"}), "setTimeLapseFrames(0)");
}

TEST(EngineConfig, SkyRegionsArePassedAsTheDesktopPassesThem)
{
    RecordingEngine gradient;
    auto calls = configure({"-o", "/o.tif", "--gradient", "0.1,0.2,0.9,0.3,0.25", "/b.tif", "/s.tif"}, gradient);
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "setStarBound(0.1, 0.2, 0.9, 0.3)");
    EXPECT_EQ(calls.back(), "setGradientRegion(0.1, 0.2, 0.9, 0.3, 0.25)");

    velcli::MaskImage mask;
    mask.width = 4;
    mask.height = 2;
    mask.rgb.assign(4 * 2 * 3, 0);
    RecordingEngine masked;
    calls = configure({"-o", "/o.tif", "--mask", "/m.png", "/b.tif", "/s.tif"}, masked, &mask);
    EXPECT_EQ(calls.back(), "setMask(4, 2)");
    EXPECT_EQ(masked.maskPointer, mask.rgb.data());  // the engine borrows the caller's buffer

    RecordingEngine estimated;
    calls = configure({"-o", "/o.tif", "--auto-mask", "/b.tif", "/s.tif"}, estimated);
    EXPECT_EQ(calls.back(), "setAutoSkyMask(true)");
}

TEST(EngineConfig, PathsAreAbsoluteAndTheBaseIsNotAlsoAStar)
{
    velcli::CliOptions o;
    ASSERT_TRUE(parseWords({"-o", "out/r.tif", "frames/a.tif", "frames/./a.tif", "frames/b.tif"}, o).run);
    const auto paths = velcli::resolvePaths(o);
    ASSERT_FALSE(paths.base.empty());
    EXPECT_EQ(paths.base.front(), L'/');
    EXPECT_EQ(paths.base.substr(paths.base.size() - 13), L"/frames/a.tif");
    ASSERT_EQ(paths.stars.size(), 1u);
    EXPECT_EQ(paths.stars[0].substr(paths.stars[0].size() - 13), L"/frames/b.tif");
    EXPECT_EQ(paths.output.substr(paths.output.size() - 10), L"/out/r.tif");

    // A repeatable option takes one file each time; the images after it stay positional.
    velcli::CliOptions n;
    ASSERT_TRUE(parseWords({"--noise", "/d.tif", "/b.tif", "/s.tif", "-o", "/o.tif"}, n).run);
    EXPECT_EQ(n.noise, std::vector<std::string>{"/d.tif"});
    EXPECT_EQ(n.base, "/b.tif");
    EXPECT_EQ(n.stars, std::vector<std::string>{"/s.tif"});
}

// The real engine's step count shows that the flags arrived: each one changes the total by the
// amount its stage costs.
TEST(EngineConfig, RealEngineCountsTheConfiguredSteps)
{
    const std::vector<std::string> base = {"-o", "/o.tif", "/b.tif", "/s1.tif", "/s2.tif", "/s3.tif"};
    auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.end(), base.begin(), base.end());
        return totalSteps(extra);
    };
    // N = 4 frames, hot pixels on: 4 (hot pixels) + 3 × 4 (frames) + 2 + 1.
    EXPECT_EQ(with({}), 19);
    EXPECT_EQ(with({"--no-remove-hot-pixels"}), 15);
    EXPECT_EQ(with({"--noise", "/d1.tif", "--noise", "/d2.tif"}), 19 + 2 + 4);
    EXPECT_EQ(with({"--vignetting", "/f.tif"}), 19 + 2 + 4);
    EXPECT_EQ(with({"--trails"}), 19 - 4);
    EXPECT_EQ(with({"--mode", "select"}), 19 + 4);
    EXPECT_EQ(with({"--mode", "freeze"}), 19 + 8);
    EXPECT_EQ(with({"--enhance-stars", "1.5"}), 20);
    EXPECT_EQ(with({"--auto-brightness"}), 20);
    EXPECT_EQ(with({"--hdr"}), 20);
    EXPECT_EQ(with({"--pollution", "deep"}), 20);
    EXPECT_EQ(with({"--pollution", "uneven"}), 24);
    EXPECT_EQ(with({"--merge-pixels"}), 20);
    // Time-lapse of 2 over 4 frames: 3 outputs of 2 frames each.
    EXPECT_EQ(with({"--time-lapse", "2"}), 6 + 18 + 6 + 3);
    EXPECT_EQ(with({"--noise", "/d.tif", "--vignetting", "/f.tif", "--mode", "select", "--enhance-stars", "1.2",
                    "--auto-brightness", "--pollution", "uneven"}),
              41);

    velcli::MaskImage mask;
    mask.width = mask.height = 2;
    mask.rgb.assign(12, 255);
    auto words = base;
    words.insert(words.begin(), {"--mask", "/m.png"});
    EXPECT_EQ(totalSteps(words, &mask), 20);
    // A single frame keeps "Select best pixels" from running: the engine falls back to accumulation.
    EXPECT_EQ(totalSteps({"-o", "/o.tif", "--mode", "select", "/b.tif"}), 6);
}

// A saved project run by the command line reaches the engine exactly as the desktop program's
// own run of it: same files, same values, same order, for each kind of sky region.
TEST(EngineConfig, ProjectDrivesTheEngineAsTheDesktopProgramDoes)
{
    veltest::TempDir dir;
    velapp::FileTreeModel files;
    std::vector<std::wstring> stars;
    for (const char* name : {"s3.tif", "s1.tif", "s2.tif", "s4.tif"}) {
        ASSERT_TRUE(veltest::writeBytes(dir.file(name), "image"));
        stars.push_back(dir.wfile(name));
    }
    files.addFiles(velapp::Category::Star, stars, true);
    ASSERT_TRUE(veltest::writeBytes(dir.file("dark.tif"), "image"));
    files.addFiles(velapp::Category::Noise, {dir.wfile("dark.tif")}, true);
    files.setOutput(dir.wfile("out.tif"));
    velapp::RunSettings settings;
    settings.autoBrightness = true;
    settings.removeHotPixels = true;
    settings.reducePollution = true;
    settings.reducePollutionMode = 0;
    settings.reducePollutionStrength = 3;
    settings.enhanceStars = true;
    settings.enhanceStarsStrength = 1;
    settings.distortionCorrection = 1;
    settings.timeLapse = true;
    settings.timeLapseFrames = 3;
    settings.colorSpace = 1;
    settings.starBound = {0.0f, 0.7f, 1.0f, 0.6f};
    settings.gradient = {0.1f, 0.2f, 0.9f, 0.3f, 0.25f};
    velapp::MaskImage painted;
    painted.width = 4;
    painted.height = 2;
    painted.rgb.assign(4 * 2 * 3, 0);
    painted.rgb[1] = 255;

    for (const auto mode : {velapp::SkyRegionMode::BoundaryLine, velapp::SkyRegionMode::Gradient,
                            velapp::SkyRegionMode::IrregularMask}) {
        std::wstring maskFile;
        ASSERT_TRUE(velapp::saveProject(dir.wfile("night.vlp"), files, settings, {mode, &painted}, maskFile));

        // The desktop program: load, select the tool and hold the mask, pass Start.
        velapp::LoadedProject project;
        ASSERT_TRUE(velapp::loadProject(dir.wfile("night.vlp"), project));
        velapp::RunSettings run = project.settings;
        const velapp::MaskImage brush =
            project.maskFile.empty() ? velapp::MaskImage() : velapp::loadMaskPng(dir.file("night.mask.png"));
        velapp::SkyRegionState sky;
        sky.tool = project.tool;
        sky.maskPainted = brush.valid();
        velapp::OptionContext context{run, project.files, sky};
        velapp::prepareSkyRegion(nullptr, brush, context);
        ASSERT_EQ(run.skyRegionMode, mode);
        velapp::StartConditions conditions;
        conditions.usableSkyRegion = true;
        ASSERT_TRUE(velapp::checkStart(project.files, run, conditions, [](velapp::StartQuestion) { return true; }).proceed);
        RecordingEngine desktop;
        velapp::configureEngine(desktop, run);

        velcli::CliOptions o;
        const auto parsed = parseWords({dir.file("night.vlp")}, o);
        ASSERT_TRUE(parsed.run) << parsed.error;
        const velcli::MaskImage mask = o.mask.empty() ? velcli::MaskImage() : velcli::loadMaskPng(o.mask);
        RecordingEngine cli;
        velcli::configureEngine(cli, o, velcli::resolvePaths(o), o.mask.empty() ? nullptr : &mask);
        EXPECT_EQ(cli.calls, desktop.calls);
    }
}
