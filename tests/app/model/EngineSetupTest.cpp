#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EngineSetup.h"
#include "support/RecordingEngine.h"
#include "Velostar.h"

using namespace velapp;

namespace {

RunSettings twoStarRun()
{
    RunSettings settings;
    settings.baseImage = L"/n/base.cr2";
    settings.starImages = {L"/n/s1.cr2", L"/n/s2.cr2"};
    settings.noiseImages = {L"/n/d1.cr2"};
    settings.vignettingImages = {L"/n/f1.cr2", L"/n/f2.cr2"};
    settings.output = L"/n/out.tif";
    return settings;
}

}  // namespace

TEST(EngineSetup, HandsEverythingOverInTheEnginesOrder)
{
    RunSettings settings = twoStarRun();
    settings.unifyExposure = true;
    settings.integrationMode = 1;
    settings.sigmaIndex = 4;
    settings.reducePollution = true;
    settings.reducePollutionMode = 0;
    settings.reducePollutionStrength = 4;
    settings.enhanceStars = true;
    settings.enhanceStarsStrength = 0;
    settings.timeLapse = true;
    settings.timeLapseFrames = 2;
    settings.distortionCorrection = 2;
    settings.colorSpace = 1;
    settings.skyRegionMode = SkyRegionMode::BoundaryLine;
    settings.starBound = {0.0f, 0.5f, 1.0f, 0.25f};
    RecordingEngine engine;
    configureEngine(engine, settings);
    const auto expected = inDesktopOrder({
        {"setBaseImage", {"/n/base.cr2"}}, {"addStarImage", {"/n/s1.cr2", "/n/s2.cr2"}},
        {"addNoiseImage", {"/n/d1.cr2"}}, {"addVignettingImage", {"/n/f1.cr2", "/n/f2.cr2"}},
        {"setUnifyExposure", {"true"}}, {"setHomogenizeVignetting", {"false"}}, {"setOutputFile", {"/n/out.tif"}},
        {"setCompositionMode", {"0"}}, {"setIntegrationMode", {"1"}}, {"setFreezeGroundSelective", {"true"}},
        {"setDumpAsLinear", {"true"}}, {"setTrailsMotionEffect", {"false"}}, {"setSigma", {"1.4"}},
        {"setAutoBrightness", {"false"}}, {"setHDR", {"false"}}, {"setRemoveHotPixels", {"false"}},
        {"setMergePixels", {"false"}}, {"setTimeLapseFrames", {"2"}}, {"setReducePollution", {"1, 2"}},
        {"setAggressiveSuppression", {"false"}}, {"setEnhanceStars", {"1.2"}}, {"setDistortionCorrection", {"2"}},
        {"setColorSpace", {"1"}}, {"setStarBound", {"0, 0.5, 1, 0.25"}}});
    EXPECT_EQ(engine.calls, expected);
}

TEST(EngineSetup, EmptyStarListSetsTheIntegrationModeTwice)
{
    RunSettings settings = twoStarRun();
    settings.starImages.clear();
    settings.integrationMode = 2;
    RecordingEngine engine;
    configureEngine(engine, settings);
    const auto first = std::find(engine.calls.begin(), engine.calls.end(), "setIntegrationMode(0)");
    ASSERT_NE(first, engine.calls.end());
    EXPECT_EQ(*(first + 1), "setIntegrationMode(2)");
}

TEST(EngineSetup, DefaultsClearPollutionAndSkipOffOptions)
{
    RecordingEngine engine;
    configureEngine(engine, twoStarRun());
    auto has = [&](const std::string& call) {
        return std::find(engine.calls.begin(), engine.calls.end(), call) != engine.calls.end();
    };
    EXPECT_TRUE(has("clearReducePollution()"));
    EXPECT_TRUE(has("setSigma(2)"));
    EXPECT_TRUE(has("setTimeLapseFrames(0)"));
    for (const auto& call : engine.calls) {
        EXPECT_NE(call.rfind("setEnhanceStars", 0), 0u) << call;
        EXPECT_NE(call.rfind("setStarBound", 0), 0u) << call;
        EXPECT_NE(call.rfind("setMask", 0), 0u) << call;
    }
    EXPECT_EQ(engine.calls.back(), "setColorSpace(0)");
}

TEST(EngineSetup, OutOfRangeValuesBecomeSafeOnes)
{
    RunSettings settings = twoStarRun();
    settings.compositionMode = 7;
    settings.integrationMode = 9;
    settings.sigmaIndex = 12;
    settings.distortionCorrection = -1;
    settings.colorSpace = 3;
    settings.reducePollution = true;
    settings.reducePollutionMode = 1;
    settings.reducePollutionStrength = -3;
    settings.timeLapse = true;
    settings.timeLapseFrames = -4;
    RecordingEngine engine;
    configureEngine(engine, settings);
    auto has = [&](const std::string& call) {
        return std::find(engine.calls.begin(), engine.calls.end(), call) != engine.calls.end();
    };
    EXPECT_TRUE(has("setCompositionMode(0)"));
    EXPECT_TRUE(has("setIntegrationMode(0)"));
    EXPECT_TRUE(has("setSigma(1.4)"));
    EXPECT_TRUE(has("setDistortionCorrection(0)"));
    EXPECT_TRUE(has("setColorSpace(0)"));
    EXPECT_TRUE(has("setReducePollution(2, -2)"));
    EXPECT_TRUE(has("setTimeLapseFrames(0)"));
}

TEST(EngineSetup, TimeLapseOnlyWhereItApplies)
{
    RunSettings settings = twoStarRun();
    settings.timeLapse = true;
    settings.timeLapseFrames = 3;
    settings.compositionMode = 1;  // trails without motion effect: every frame is composed anyway
    RecordingEngine engine;
    configureEngine(engine, settings);
    EXPECT_NE(std::find(engine.calls.begin(), engine.calls.end(), "setTimeLapseFrames(0)"), engine.calls.end());
}

TEST(EngineSetup, SkyRegionByMode)
{
    RunSettings settings = twoStarRun();
    settings.starBound = {0.1f, 0.2f, 0.3f, 0.4f};
    settings.gradient = {0.5f, 0.5f, 0.75f, 0.5f, 0.25f};
    settings.skyMask.width = 2;
    settings.skyMask.height = 1;
    settings.skyMask.rgb.assign(6, 255);

    settings.skyRegionMode = SkyRegionMode::Gradient;
    RecordingEngine gradient;
    configureEngine(gradient, settings);
    ASSERT_GE(gradient.calls.size(), 2u);
    EXPECT_EQ(gradient.calls[gradient.calls.size() - 2], "setStarBound(0.5, 0.5, 0.75, 0.5)");
    EXPECT_EQ(gradient.calls.back(), "setGradientRegion(0.5, 0.5, 0.75, 0.5, 0.25)");

    settings.skyRegionMode = SkyRegionMode::IrregularMask;
    RecordingEngine mask;
    configureEngine(mask, settings);
    EXPECT_EQ(mask.calls.back(), "setMask(2, 1)");
    EXPECT_EQ(mask.maskPointer, settings.skyMask.rgb.data());  // borrowed, not copied

    // A degenerate line or an invalid mask hands nothing over.
    settings.skyRegionMode = SkyRegionMode::BoundaryLine;
    settings.starBound = {0.3f, 0.3f, 0.3f, 0.3f};
    RecordingEngine line;
    configureEngine(line, settings);
    EXPECT_EQ(line.calls.back(), "setColorSpace(0)");
    settings.skyRegionMode = SkyRegionMode::IrregularMask;
    settings.skyMask.rgb.resize(5);
    RecordingEngine broken;
    configureEngine(broken, settings);
    EXPECT_EQ(broken.calls.back(), "setColorSpace(0)");
}
