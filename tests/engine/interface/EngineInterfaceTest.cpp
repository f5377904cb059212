#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Velostar.h"
#include "VelostarImpl.h"

namespace {

struct EngineDeleter {
    void operator()(Velostar* engine) const { Velostar::destroy(engine); }
};
using EnginePtr = std::unique_ptr<Velostar, EngineDeleter>;

EnginePtr makeEngine() { return EnginePtr(Velostar::create()); }


struct Recorder {
    std::vector<ProgressRecord> records;
    static void callback(void* user, const ProgressRecord* record)
    {
        static_cast<Recorder*>(user)->records.push_back(*record);
    }
};

}  // namespace

TEST(EngineInterface, FactoryVersionAndNullDestroy)
{
    EXPECT_STREQ(Velostar::getVersion(), "1.6.2");
    EXPECT_GT(std::string(Velostar::getAuthor()).size(), 0u);
    Velostar::destroy(nullptr);
    EnginePtr engine = makeEngine();
    ASSERT_NE(engine, nullptr);
}

TEST(EngineInterface, RunRefusesEmptyStarListThenMissingOutput)
{
    EnginePtr engine = makeEngine();
    engine->setOutputFile(L"/tmp/out.tif");
    EXPECT_EQ(engine->run(), VELOSTAR_NO_STAR_IMAGES);

    EnginePtr second = makeEngine();
    second->addStarImage(L"/tmp/a.tif");
    EXPECT_EQ(second->run(), VELOSTAR_NO_OUTPUT);
}

TEST(EngineInterface, PathsAreCopiedAndBaseGoesToTheFront)
{
    VelostarImpl engine;
    std::wstring path = L"/night/one.tif";
    engine.addStarImage(path.c_str());
    path[8] = L'X';
    engine.setBaseImage(L"/night/base.tif");
    engine.setBaseImage(L"/night/base2.tif");
    const auto& stars = engine.settings().starImages;
    ASSERT_EQ(stars.size(), 3u);
    EXPECT_STREQ(stars[0], L"/night/base2.tif");
    EXPECT_STREQ(stars[1], L"/night/base.tif");
    EXPECT_STREQ(stars[2], L"/night/one.tif");
}

TEST(EngineInterface, SigmaAcceptsOnlyHalfToTen)
{
    VelostarImpl engine;
    engine.setSigma(0.4f);
    engine.setSigma(11.0f);
    EXPECT_EQ(engine.settings().sigma, 2.0f);
    engine.setSigma(0.5f);
    EXPECT_EQ(engine.settings().sigma, 0.5f);
    engine.setSigma(10.0f);
    EXPECT_EQ(engine.settings().sigma, 10.0f);
}

TEST(EngineInterface, StarBoundTakesFractionsOrPixels)
{
    VelostarImpl engine;
    const EngineSettings& s = engine.settings();
    engine.setStarBound(0.1f, 0.5f, 0.9f, 0.4f);
    EXPECT_FLOAT_EQ(s.starBoundFraction[0], 0.1f);
    EXPECT_FLOAT_EQ(s.starBoundFraction[1], 0.5f);
    EXPECT_FLOAT_EQ(s.starBoundFraction[2], 0.8f);
    EXPECT_FLOAT_EQ(s.starBoundFraction[3], -0.1f);
    EXPECT_EQ(s.starBoundPixels[2], 0);

    engine.setStarBound(100.7f, 800.0f, 3000.0f, 700.0f);
    EXPECT_EQ(s.starBoundPixels[0], 100);
    EXPECT_EQ(s.starBoundPixels[1], 800);
    EXPECT_EQ(s.starBoundPixels[2], 2900);
    EXPECT_EQ(s.starBoundPixels[3], -100);
    EXPECT_FLOAT_EQ(s.starBoundFraction[2], 0.8f);  // left as it was

    engine.setStarBound(0.1f, 0.2f, 1.5f, 0.3f);  // one value above 1: all pixels
    EXPECT_EQ(s.starBoundPixels[0], 0);
    EXPECT_EQ(s.starBoundPixels[2], 1);
}

TEST(EngineInterface, GradientExtentIsFractionOrPixels)
{
    VelostarImpl engine;
    const EngineSettings& s = engine.settings();
    engine.setGradientRegion(0.0f, 0.5f, 1.0f, 0.5f, 0.3f);
    EXPECT_FLOAT_EQ(s.gradientExtentFraction, 0.3f);
    EXPECT_EQ(s.gradientExtentPixels, 0);
    EXPECT_FLOAT_EQ(s.gradientFraction[2], 1.0f);
    engine.setGradientRegion(0.0f, 0.5f, 1.0f, 0.5f, 250.0f);
    EXPECT_EQ(s.gradientExtentPixels, 250);
    EXPECT_EQ(s.gradientExtentFraction, 0.0f);
}

TEST(EngineInterface, MaskCountsOnlyWithPointerAndPositiveSize)
{
    VelostarImpl engine;
    const uint8_t pixels[12] = {};
    engine.setMask(pixels, 0, 4);
    EXPECT_FALSE(engine.settings().hasMask());
    engine.setMask(nullptr, 2, 2);
    EXPECT_FALSE(engine.settings().hasMask());
    engine.setMask(pixels, 2, 2);
    EXPECT_TRUE(engine.settings().hasMask());
}

// Totals worked by hand from the step rules, one configuration per row.
struct StepCase {
    const char* name;
    int stars;
    int composition, integration;
    unsigned timeLapse;
    bool motion, hotPixels, merge, mask;
    int noise, vignetting;
    float enhance;
    bool autoBrightness, hdr;
    int pollution;
    int expectedTotal;
    int expectedIntegrationAfter;
};

TEST(TotalSteps, MatchesHandWorkedTotals)
{
    const StepCase cases[] = {
        // 7 outputs, frame work 28: 28 hot + 84 frames + 14 + 7
        {"timelapse10x4", 10, 0, 0, 4, false, true, false, false, 0, 0, 0, false, false, 0, 133, 0},
        // mode 2 with one image falls back to accumulation: 1 hot + 2 + 2 + 1
        {"single-freeze", 1, 0, 2, 0, false, true, false, false, 0, 0, 0, false, false, 0, 6, 0},
        // mask+merge 1, noise 3+5, vignetting 3+5, frames 15, ticks 5, 2, five finishing steps, 1
        {"select-everything", 5, 0, 1, 0, false, false, true, true, 3, 2, 1.5f, true, true, 2, 49, 1},
        // trails with motion, 4 outputs of 3: mask 1, hot 12, vignetting 2+4, frames 24, 8, pollution 4, 4
        {"trails-motion", 6, 1, 0, 3, true, true, false, true, 0, 1, 0, false, false, 1, 59, 0},
        // trails without motion ignore time-lapse: 6 hot + 12 + 2 + 1
        {"trails-still", 6, 1, 0, 3, false, true, false, false, 0, 0, 0, false, false, 0, 21, 0},
        // freeze ground in 3 windows of 2: frames 18, ticks 4 per output 12, 6, 3
        {"freeze-timelapse", 4, 0, 2, 2, false, false, false, false, 0, 0, 0, false, false, 0, 39, 2},
        // align only ignores time-lapse: 10 hot + 30 + 2 + 1
        {"align-only", 10, 0, 3, 4, false, true, false, false, 0, 0, 0, false, false, 0, 43, 3},
        // mask without merge counts once; W >= N turns time-lapse off: 1 + 3 + 9 + 2 + 1
        {"mask-no-merge", 3, 0, 0, 3, false, true, false, true, 0, 0, 0, false, false, 0, 16, 0},
    };
    const uint8_t mask[3] = {0, 255, 0};
    for (const StepCase& c : cases) {
        VelostarImpl engine;
        for (int i = 0; i < c.stars; ++i)
            engine.addStarImage(L"/x.tif");
        for (int i = 0; i < c.noise; ++i)
            engine.addNoiseImage(L"/n.tif");
        for (int i = 0; i < c.vignetting; ++i)
            engine.addVignettingImage(L"/v.tif");
        engine.setCompositionMode(c.composition);
        engine.setIntegrationMode(c.integration);
        engine.setTimeLapseFrames(c.timeLapse);
        engine.setTrailsMotionEffect(c.motion);
        engine.setRemoveHotPixels(c.hotPixels);
        engine.setMergePixels(c.merge);
        if (c.mask)
            engine.setMask(mask, 1, 1);
        engine.setEnhanceStars(c.enhance);
        engine.setAutoBrightness(c.autoBrightness);
        engine.setHDR(c.hdr);
        if (c.pollution)
            engine.setReducePollution(c.pollution, 1);
        EXPECT_EQ(engine.getTotalSteps(), c.expectedTotal) << c.name;
        EXPECT_EQ(engine.settings().integrationMode, c.expectedIntegrationAfter) << c.name;
    }
}

TEST(TotalSteps, TimeLapseWindowsGiveOutputsAndFrameWork)
{
    VelostarImpl engine;
    for (int i = 0; i < 10; ++i)
        engine.addStarImage(L"/x.tif");
    engine.setTimeLapseFrames(4);
    engine.getTotalSteps();
    EXPECT_EQ(engine.stepPlan().outputs, 7);
    EXPECT_EQ(engine.stepPlan().frameWork, 28);
    EXPECT_EQ(engine.stepPlan().framesPerOutput, 4);
}

TEST(Progress, StepsNeverExceedTheTotalAndNothingMovesWithoutCallback)
{
    VelostarImpl engine;
    engine.addStarImage(L"/x.tif");
    const int total = engine.getTotalSteps();
    ASSERT_EQ(total, 6);

    engine.report(26, nullptr, 1, 3);  // no callback: not counted
    EXPECT_EQ(engine.stepsDone(), 0);

    Recorder recorder;
    engine.setProgressCallback(&recorder, &Recorder::callback);
    for (int i = 0; i < 10; ++i)
        engine.report(29, nullptr, 1, 1);
    engine.reportShare(0, 100, 1024);
    ASSERT_EQ(recorder.records.size(), 10u);
    for (const ProgressRecord& r : recorder.records)
        EXPECT_LE(r.stepsDone, total);
    EXPECT_EQ(recorder.records.back().stepsDone, total);
}

TEST(Progress, ShareTicksAreSentOnlyWhenTheValueChanges)
{
    VelostarImpl engine;
    for (int i = 0; i < 5; ++i)
        engine.addStarImage(L"/x.tif");
    engine.setIntegrationMode(1);
    ASSERT_EQ(engine.getTotalSteps(), 5 + 15 + 5 + 2 + 1);
    Recorder recorder;
    engine.setProgressCallback(&recorder, &Recorder::callback);
    engine.report(30, nullptr, 0, 4);
    const int start = engine.stepsDone();
    engine.reportShare(start, 5, 100);   // 5 × 100 / 1024 = 0: no change, no tick
    engine.reportShare(start, 5, 300);   // 1
    engine.reportShare(start, 5, 400);   // still 1
    engine.reportShare(start, 5, 1024);  // 5
    ASSERT_EQ(recorder.records.size(), 3u);
    EXPECT_EQ(recorder.records[1].stage, 0);
    EXPECT_EQ(recorder.records[1].detail, 9);
    EXPECT_EQ(recorder.records[1].stepsDone, start + 1);
    EXPECT_EQ(recorder.records[2].stepsDone, start + 5);
}

TEST(Progress, ThrowingCallbackDoesNotReachTheEngine)
{
    VelostarImpl engine;
    engine.addStarImage(L"/x.tif");
    engine.getTotalSteps();
    engine.setProgressCallback(nullptr, [](void*, const ProgressRecord*) { throw 1; });
    EXPECT_NO_THROW(engine.report(1, L"/x.tif", 0, 0));
}

TEST(Cancel, CancelledEngineStaysCancelled)
{
    VelostarImpl engine;
    engine.addStarImage(L"/nonexistent/x.tif");
    engine.setOutputFile(L"/nonexistent/out.tif");
    engine.cancel();
    EXPECT_TRUE(engine.cancelled());
    EXPECT_EQ(engine.run(), VELOSTAR_CANCELLED);
    EXPECT_EQ(engine.run(), VELOSTAR_CANCELLED);
}
