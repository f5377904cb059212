#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "EngineSetup.h"
#include "Velostar.h"

using namespace velapp;

namespace {

// Records every call as one line, in order.
class RecordingEngine : public Velostar {
public:
    std::vector<std::string> calls;
    const uint8_t* maskBytes = nullptr;

    void setBaseImage(const wchar_t* path) override { record("setBaseImage", path); }
    void addStarImage(const wchar_t* path) override { record("addStarImage", path); }
    void addNoiseImage(const wchar_t* path) override { record("addNoiseImage", path); }
    void addVignettingImage(const wchar_t* path) override { record("addVignettingImage", path); }
    void setOutputFile(const wchar_t* path) override { record("setOutputFile", path); }
    void setUnifyExposure(bool on) override { record("setUnifyExposure", on); }
    void setHomogenizeVignetting(bool on) override { record("setHomogenizeVignetting", on); }
    void setCompositionMode(int mode) override { record("setCompositionMode", mode); }
    void setIntegrationMode(int mode) override { record("setIntegrationMode", mode); }
    void setColorSpace(int colorSpace) override { record("setColorSpace", colorSpace); }
    void setTrailsMotionEffect(bool on) override { record("setTrailsMotionEffect", on); }
    void setAutoBrightness(bool on) override { record("setAutoBrightness", on); }
    void setHDR(bool on) override { record("setHDR", on); }
    void setRemoveHotPixels(bool on) override { record("setRemoveHotPixels", on); }
    void setFreezeGroundSelective(bool on) override { record("setFreezeGroundSelective", on); }
    void setDumpAsLinear(bool on) override { record("setDumpAsLinear", on); }
    void clearReducePollution() override { calls.push_back("clearReducePollution"); }
    void setReducePollution(int kind, int strength) override { record("setReducePollution", kind, strength); }
    void setAggressiveSuppression(bool on) override { record("setAggressiveSuppression", on); }
    void setMergePixels(bool on) override { record("setMergePixels", on); }
    void setTimeLapseFrames(unsigned int frames) override { record("setTimeLapseFrames", frames); }
    void setEnhanceStars(float factor) override { record("setEnhanceStars", factor); }
    void setDistortionCorrection(int mode) override { record("setDistortionCorrection", mode); }
    void setSigma(float sigma) override { record("setSigma", sigma); }
    void setStarBound(float x0, float y0, float x1, float y1) override { record("setStarBound", x0, y0, x1, y1); }
    void setGradientRegion(float x0, float y0, float x1, float y1, float extent) override
    {
        record("setGradientRegion", x0, y0, x1, y1, extent);
    }
    void setMask(const uint8_t* rgb, int width, int height) override
    {
        maskBytes = rgb;
        record("setMask", width, height);
    }
    int getTotalSteps() override { return 0; }
    void setProgressCallback(void*, VelostarProgressCallback) override {}
    int run() override { return 0; }
    void cancel() override {}
    int getFrameReportCount() override { return 0; }
    bool getFrameReport(int, VelostarFrameReport*) override { return false; }

private:
    static void put(std::ostringstream& out, const wchar_t* path)
    {
        for (const wchar_t* c = path; *c; ++c)
            out << static_cast<char>(*c);
    }
    template <typename T> static void put(std::ostringstream& out, const T& value) { out << value; }

    template <typename... Args> void record(const char* name, const Args&... args)
    {
        std::ostringstream out;
        out << std::boolalpha << name;
        ((out << ' ', put(out, args)), ...);
        calls.push_back(out.str());
    }
};

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
    const std::vector<std::string> expected = {
        "setBaseImage /n/base.cr2",
        "addStarImage /n/s1.cr2",
        "addStarImage /n/s2.cr2",
        "addNoiseImage /n/d1.cr2",
        "addVignettingImage /n/f1.cr2",
        "addVignettingImage /n/f2.cr2",
        "setUnifyExposure true",
        "setHomogenizeVignetting false",
        "setOutputFile /n/out.tif",
        "setCompositionMode 0",
        "setIntegrationMode 1",
        "setFreezeGroundSelective true",
        "setDumpAsLinear true",
        "setTrailsMotionEffect false",
        "setSigma 1.4",
        "setAutoBrightness false",
        "setHDR false",
        "setRemoveHotPixels false",
        "setMergePixels false",
        "setTimeLapseFrames 2",
        "setReducePollution 1 2",
        "setAggressiveSuppression false",
        "setEnhanceStars 1.2",
        "setDistortionCorrection 2",
        "setColorSpace 1",
        "setStarBound 0 0.5 1 0.25",
    };
    EXPECT_EQ(engine.calls, expected);
}

TEST(EngineSetup, EmptyStarListSetsTheIntegrationModeTwice)
{
    RunSettings settings = twoStarRun();
    settings.starImages.clear();
    settings.integrationMode = 2;
    RecordingEngine engine;
    configureEngine(engine, settings);
    const auto first = std::find(engine.calls.begin(), engine.calls.end(), "setIntegrationMode 0");
    ASSERT_NE(first, engine.calls.end());
    EXPECT_EQ(*(first + 1), "setIntegrationMode 2");
}

TEST(EngineSetup, DefaultsClearPollutionAndSkipOffOptions)
{
    RecordingEngine engine;
    configureEngine(engine, twoStarRun());
    auto has = [&](const std::string& call) {
        return std::find(engine.calls.begin(), engine.calls.end(), call) != engine.calls.end();
    };
    EXPECT_TRUE(has("clearReducePollution"));
    EXPECT_TRUE(has("setSigma 2"));
    EXPECT_TRUE(has("setTimeLapseFrames 0"));
    for (const auto& call : engine.calls) {
        EXPECT_NE(call.rfind("setEnhanceStars", 0), 0u) << call;
        EXPECT_NE(call.rfind("setStarBound", 0), 0u) << call;
        EXPECT_NE(call.rfind("setMask", 0), 0u) << call;
    }
    EXPECT_EQ(engine.calls.back(), "setColorSpace 0");
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
    EXPECT_TRUE(has("setCompositionMode 0"));
    EXPECT_TRUE(has("setIntegrationMode 0"));
    EXPECT_TRUE(has("setSigma 1.4"));
    EXPECT_TRUE(has("setDistortionCorrection 0"));
    EXPECT_TRUE(has("setColorSpace 0"));
    EXPECT_TRUE(has("setReducePollution 2 -2"));
    EXPECT_TRUE(has("setTimeLapseFrames 0"));
}

TEST(EngineSetup, TimeLapseOnlyWhereItApplies)
{
    RunSettings settings = twoStarRun();
    settings.timeLapse = true;
    settings.timeLapseFrames = 3;
    settings.compositionMode = 1;  // trails without motion effect: every frame is composed anyway
    RecordingEngine engine;
    configureEngine(engine, settings);
    EXPECT_NE(std::find(engine.calls.begin(), engine.calls.end(), "setTimeLapseFrames 0"), engine.calls.end());
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
    EXPECT_EQ(gradient.calls[gradient.calls.size() - 2], "setStarBound 0.5 0.5 0.75 0.5");
    EXPECT_EQ(gradient.calls.back(), "setGradientRegion 0.5 0.5 0.75 0.5 0.25");

    settings.skyRegionMode = SkyRegionMode::IrregularMask;
    RecordingEngine mask;
    configureEngine(mask, settings);
    EXPECT_EQ(mask.calls.back(), "setMask 2 1");
    EXPECT_EQ(mask.maskBytes, settings.skyMask.rgb.data());  // borrowed, not copied

    // A degenerate line or an invalid mask hands nothing over.
    settings.skyRegionMode = SkyRegionMode::BoundaryLine;
    settings.starBound = {0.3f, 0.3f, 0.3f, 0.3f};
    RecordingEngine line;
    configureEngine(line, settings);
    EXPECT_EQ(line.calls.back(), "setColorSpace 0");
    settings.skyRegionMode = SkyRegionMode::IrregularMask;
    settings.skyMask.rgb.resize(5);
    RecordingEngine broken;
    configureEngine(broken, settings);
    EXPECT_EQ(broken.calls.back(), "setColorSpace 0");
}
