#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <new>
#include <stdexcept>

#include "CalibrationStages.h"
#include "IntegrationStorage.h"
#include "corrections/ExposureUnification.h"
#include "image/ImageFiles.h"
#include "image/TiffWriter.h"
#include "PipelineHarness.h"
#include "FinishingStages.h"
#include "PollutionStage.h"
#include "SkyMaskStage.h"
#include "corrections/SoftSkyMask.h"
#include "parallel/FrameStore.h"
#include "support/TempDir.h"

using veltest::Session;
using veltest::Step;
using veltest::TwoPass;

TEST(RunPipeline, OneFrameReportsEveryStageInOrder)
{
    veltest::TempDir dir;
    Session run({L"/night/a.tif"}, dir.wfile("out.tif"));
    EXPECT_EQ(run.go(), VELOSTAR_OK);
    const std::vector<Step> expected{
        {14, 0, 0}, {1, 0, 0}, {2, 1, 1},  {20, 0, 1}, {21, 1, 2}, {24, 0, 2}, {25, 1, 3}, {15, 1, 3}, {36, 0, 3},
        {38, 0, 3}, {39, 1, 4}, {44, 0, 4}, {45, 1, 5}, {37, 1, 5}, {54, 0, 5}, {56, 0, 5}, {57, 1, 6}, {55, 1, 6}};
    EXPECT_EQ(run.log.steps, expected);
    EXPECT_EQ(run.engine.totalSteps(), 6);
    EXPECT_EQ(run.log.paths[1], L"/night/a.tif");
    EXPECT_EQ(run.log.paths[15], dir.wfile("out.tif"));
    ASSERT_EQ(run.fake.written.size(), 1u);
    EXPECT_EQ(run.fake.software[0], "Velostar 1.6.2");
    EXPECT_EQ(run.fake.exposures[0], 2.0f);
}

TEST(RunPipeline, UnreadableOtherFrameIsSkippedWithItsStepsAndTheRestComposed)
{
    veltest::TempDir dir;
    Session run({L"/night/a.tif", L"/night/c.tif", L"/night/b_bad.tif"}, dir.wfile("out.tif"));
    EXPECT_EQ(run.go(), VELOSTAR_OK);
    const std::vector<Step> expected{
        {14, 0, 0}, {1, 0, 0}, {2, 1, 1}, {20, 0, 1}, {21, 1, 2}, {26, 0, 2}, {27, 1, 3}, {24, 0, 3}, {25, 1, 4},
        {1, 0, 4}, {2, 2, 5}, {0, 9, 7},  // b_bad: named before c, so processed first; skipped
        {1, 0, 7}, {2, 1, 8}, {20, 0, 8}, {21, 1, 9}, {26, 0, 9}, {27, 1, 10}, {28, 0, 10}, {29, 1, 11},
        {15, 1, 11}, {36, 0, 11}, {38, 0, 11}, {39, 1, 12}, {44, 0, 12}, {45, 1, 13}, {37, 1, 13},
        {54, 0, 13}, {56, 0, 13}, {57, 1, 14}, {55, 1, 14}};
    EXPECT_EQ(run.log.steps, expected);
    EXPECT_EQ(run.fake.exposures.at(0), 4.0f);  // two frames of 2 s were loaded

    ASSERT_EQ(run.engine.getFrameReportCount(), 3);
    VelostarFrameReport reports[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(run.engine.getFrameReport(i, &reports[i]));
    EXPECT_STREQ(reports[0].file, L"/night/a.tif");
    EXPECT_TRUE(reports[0].reference && reports[0].used);
    EXPECT_EQ(reports[0].stars, 20);
    EXPECT_STREQ(reports[1].file, L"/night/b_bad.tif");
    EXPECT_FALSE(reports[1].used);
    EXPECT_TRUE(reports[2].used && reports[2].aligned);
    EXPECT_EQ(reports[2].pairs, 12);
    EXPECT_EQ(reports[2].transform[2], 1.5);
}

TEST(RunPipeline, ResultCodesBeforeAndInsteadOfWork)
{
    veltest::TempDir dir;
    {
        Session run({}, dir.wfile("out.tif"));
        EXPECT_EQ(run.go(), VELOSTAR_NO_STAR_IMAGES);
        EXPECT_TRUE(run.log.steps.empty());
    }
    {
        Session run({L"/night/a.tif"}, L"");
        EXPECT_EQ(run.go(), VELOSTAR_NO_OUTPUT);
        EXPECT_TRUE(run.log.steps.empty());
    }
    {
        Session run({L"/night/bad.tif", L"/night/b.tif"}, dir.wfile("out.tif"));
        EXPECT_EQ(run.go(), VELOSTAR_BASE_UNREADABLE);
        const std::vector<Step> expected{{14, 0, 0}, {1, 0, 0}, {2, 2, 1}, {15, 1, 1}};
        EXPECT_EQ(run.log.steps, expected);
        EXPECT_TRUE(run.fake.written.empty());
    }
    {
        Session run({L"/night/a.tif"}, dir.wfile("out.tif"));
        run.fake.writeSucceeds = false;
        EXPECT_EQ(run.go(), VELOSTAR_WRITE_FAILED);
        const std::vector<Step> tail{run.log.steps.end() - 2, run.log.steps.end()};
        EXPECT_EQ(tail, (std::vector<Step>{{57, 2, 6}, {55, 2, 6}}));
    }
    {
        // No writer in the build: the output is not claimed as written.
        Session run({L"/night/a.tif"}, dir.wfile("out.tif"));
        run.adjust = [](velrun::RunStages& s) { s.writeOutput = nullptr; };
        EXPECT_EQ(run.go(), VELOSTAR_WRITE_FAILED);
        EXPECT_TRUE(run.log.contains(57, 2));
    }
}

TEST(RunPipeline, ReferenceStarCountDecidesBetweenWarningAndFailureAndLaterFramesUseItsLevel)
{
    veltest::TempDir dir;
    for (const int stars : {4, 7}) {
        Session run({L"/night/a.tif", L"/night/b.tif"}, dir.wfile("out.tif"));
        std::vector<int32_t> attempts;
        run.adjust = [&](velrun::RunStages& s) {
            s.analyzeFrame = [&](velrun::RunContext&, velrun::Frame&, int32_t attempt) {
                attempts.push_back(attempt);
                auto analysis = std::make_unique<velrun::FrameAnalysis>();
                analysis->stars = stars;
                return analysis;
            };
        };
        const int result = run.go();
        EXPECT_TRUE(run.log.contains(27, 3));
        if (stars < 5) {
            EXPECT_EQ(result, VELOSTAR_TOO_FEW_STARS);
            EXPECT_EQ(attempts, (std::vector<int32_t>{0, 1, 2}));  // the reference tries three times
            EXPECT_FALSE(run.log.contains(24, 0));
        } else {
            EXPECT_EQ(result, VELOSTAR_OK);
            EXPECT_EQ(attempts, (std::vector<int32_t>{0, 1, 2, 2}));
        }
    }
    // A reference that finds enough stars at the second level hands that level on.
    Session run({L"/night/a.tif", L"/night/b.tif", L"/night/c.tif"}, dir.wfile("out.tif"));
    std::vector<int32_t> attempts;
    run.adjust = [&](velrun::RunStages& s) {
        s.analyzeFrame = [&](velrun::RunContext&, velrun::Frame&, int32_t attempt) {
            attempts.push_back(attempt);
            auto analysis = std::make_unique<velrun::FrameAnalysis>();
            analysis->stars = attempt == 0 ? 8 : 40;
            return analysis;
        };
    };
    EXPECT_EQ(run.go(), VELOSTAR_OK);
    EXPECT_EQ(attempts, (std::vector<int32_t>{0, 1, 1, 1}));
}

TEST(RunPipeline, WithoutStarAnalysisNoFrameIsClaimedAsComposed)
{
    veltest::TempDir dir;
    Session run({L"/night/a.tif", L"/night/b.tif", L"/night/c.tif"}, dir.wfile("out.tif"));
    run.adjust = [](velrun::RunStages& s) { s.analyzeFrame = nullptr; };
    run.go();
    EXPECT_TRUE(run.log.contains(27, 2));
    EXPECT_FALSE(run.log.contains(27, 1));
    EXPECT_FALSE(run.log.contains(29, 1));
    VelostarFrameReport report{};
    ASSERT_TRUE(run.engine.getFrameReport(1, &report));
    EXPECT_FALSE(report.used);
}

TEST(RunPipeline, TimeLapseMakesOneOutputPerWindowWithItsThirdFrameAsReference)
{
    veltest::TempDir dir;
    std::vector<std::wstring> stars;
    for (const int i : {3, 0, 9, 1, 4, 8, 2, 7, 6, 5})
        stars.push_back(L"/night/f0" + std::to_wstring(i) + L".tif");
    Session run(stars, dir.wfile("out.tif"));
    run.engine.setTimeLapseFrames(4);
    EXPECT_EQ(run.go(), VELOSTAR_OK);
    ASSERT_EQ(run.fake.written.size(), 7u);
    ASSERT_EQ(run.fake.references.size(), 7u);
    for (int k = 1; k <= 7; ++k) {
        EXPECT_EQ(run.fake.written[k - 1], dir.wfile("out0" + std::to_string(k) + ".tif"));
        EXPECT_EQ(run.fake.references[k - 1], L"/night/f0" + std::to_wstring(k + 1) + L".tif");
    }
    EXPECT_EQ(run.engine.getFrameReportCount(), 4);  // the last window's frames
    EXPECT_EQ(run.log.steps.back(), (Step{55, 1, run.engine.totalSteps()}));
}

TEST(RunPipeline, FailuresEscapingTheStagesBecomeResultCodes)
{
    veltest::TempDir dir;
    {
        Session run({L"/night/a.tif"}, dir.wfile("out.tif"));
        run.adjust = [](velrun::RunStages& s) { s.removeHotPixels = [](velrun::RunContext&, velrun::Frame&) { throw std::bad_alloc(); }; };
        EXPECT_EQ(run.go(), VELOSTAR_OUT_OF_MEMORY);
    }
    {
        Session run({L"/night/a.tif"}, dir.wfile("out.tif"));
        run.adjust = [](velrun::RunStages& s) { s.toneConvert = [](velrun::RunContext&) -> bool { throw std::runtime_error("x"); }; };
        EXPECT_EQ(run.go(), VELOSTAR_UNKNOWN_ERROR);
    }
    {
        // Decoded ahead on a loader thread, raised when the pipeline claims the frame.
        Session run({L"/night/a.tif", L"/night/nomem.tif"}, dir.wfile("out.tif"));
        auto decode = veltest::fakeDecoder();
        run.engine.setFrameDecoder([decode](const std::wstring& path, int c, int p, velimage::RowSink* rows) {
            if (path.find(L"nomem") != std::wstring::npos)
                throw std::bad_alloc();
            return decode(path, c, p, rows);
        });
        EXPECT_EQ(run.go(), VELOSTAR_OUT_OF_MEMORY);
    }
}

TEST(RunPipeline, TwoPassIntegrationReadsBackExactlyWhatWasStoredInMemoryOrFiles)
{
    for (const bool files : {false, true}) {
        veltest::TempDir dir;
        TwoPass pass;
        Session run({L"/night/a.tif", L"/night/b.tif", L"/night/c.tif"}, dir.wfile("out.tif"));
        run.engine.setIntegrationMode(1);
        run.engine.setMemoryQuery([files] { return files ? uint64_t{0} : uint64_t{64} << 30; });
        run.adjust = [&](velrun::RunStages& s) { pass.wire(s); };
        EXPECT_EQ(run.go(), VELOSTAR_OK);
        EXPECT_FALSE(pass.mismatch);
        EXPECT_EQ(pass.rowsChecked, 4);
        EXPECT_EQ(pass.markers, (std::vector<int32_t>{3, 2, 2}));
        EXPECT_EQ(run.log.contains(32, 0), files);
        EXPECT_TRUE(run.log.contains(35, 1));
        EXPECT_EQ(dir.entryCount(), 0) << "temporary files left behind";
        EXPECT_TRUE(run.engine.temporaryFiles().empty());
    }
}

TEST(IntegrationStorage, FramesStayInMemoryOnlyAboveTheBudget)
{
    const uint64_t need = (1000000ull + (1000000ull + 524288ull) * 2) * 8 + 1073741824ull;
    EXPECT_FALSE(velrun::IntegrationStorage::fitsInMemory(need, 1000, 1000, 2));
    EXPECT_TRUE(velrun::IntegrationStorage::fitsInMemory(need + 1, 1000, 1000, 2));
    EXPECT_FALSE(velrun::IntegrationStorage::fitsInMemory(0, 1, 1, 1));
}

TEST(RunPipeline, RealTiffFramesComeThroughTheImageReaders)
{
    veltest::TempDir dir;
    for (const char* name : {"a.tif", "b.tif"}) {
        velimage::Image16 image;
        image.allocate(8, 6, 3);
        for (size_t i = 0; i < image.elementCount(); ++i)
            image.data()[i] = static_cast<uint16_t>(i * 7);
        image.ensureMetadata().setFloat(velimage::tags::ExposureTime, 30.0f);
        ASSERT_TRUE(velimage::writeTiff16(image, dir.wfile(name)));
    }
    ASSERT_TRUE(veltest::writeBytes(dir.file("c.tif"), "II*\0 not really a tiff"));

    Session run({dir.wfile("a.tif"), dir.wfile("b.tif"), dir.wfile("c.tif")}, dir.wfile("out.tif"));
    run.engine.setFrameDecoder(velthread::defaultFrameDecoder());
    std::vector<std::pair<int32_t, int32_t>> sizes;
    std::vector<uint16_t> samples;
    run.adjust = [&](velrun::RunStages& s) {
        s.removeHotPixels = [&](velrun::RunContext&, velrun::Frame& frame) {
            sizes.emplace_back(frame.image->width(), frame.image->height());
            samples.push_back(frame.image->data()[5]);
        };
    };
    EXPECT_EQ(run.go(), VELOSTAR_OK);
    EXPECT_EQ(sizes, (std::vector<std::pair<int32_t, int32_t>>{{8, 6}, {8, 6}}));
    // Decoded with the colour setting of the engine's colour space, as the reader does on its own.
    const auto direct = velimage::loadImage(dir.wfile("a.tif"), velimage::loaderColorSetting(0), 1);
    ASSERT_TRUE(direct);
    EXPECT_EQ(samples, (std::vector<uint16_t>{direct->data()[5], direct->data()[5]}));
    EXPECT_TRUE(run.log.contains(2, 2));  // c.tif
    EXPECT_EQ(run.fake.exposures.at(0), 60.0f);
}

TEST(RunPipeline, SlowIntegrationPassSendsTicksWithinItsBudget)
{
    veltest::TempDir dir;
    Session run({L"/night/a.tif", L"/night/b.tif", L"/night/c.tif"}, dir.wfile("out.tif"));
    run.engine.setIntegrationMode(1);
    run.engine.setMemoryQuery([] { return uint64_t{64} << 30; });
    TwoPass pass;
    // A job that ends after the last band holds the pass open until the pipeline sent a tick.
    std::promise<void> ticked;
    std::shared_future<void> tick = ticked.get_future().share();
    int passTicks = -1;  // counted from the opening of the pass
    run.log.onRecord = [&](const ProgressRecord& record) {
        if (record.stage == 34)
            passTicks = 0;
        else if (passTicks >= 0 && record.stage == 0 && record.detail == 9 && passTicks++ == 0)
            ticked.set_value();
    };
    run.adjust = [&](velrun::RunStages& s) {
        pass.wire(s);
        auto job = s.integrationPassJob;
        s.integrationPassJob = [job, tick](velrun::RunContext& ctx, velthread::FrameStore& store) {
            job(ctx, store);
            if (store.finishedRows() == store.height())
                tick.wait_for(std::chrono::seconds(10));
        };
    };
    EXPECT_EQ(run.go(), VELOSTAR_OK);
    const auto& steps = run.log.steps;
    const auto open = std::find_if(steps.begin(), steps.end(), [](const Step& s) { return std::get<0>(s) == 34; });
    const auto close = std::find_if(steps.begin(), steps.end(), [](const Step& s) { return std::get<0>(s) == 35; });
    ASSERT_TRUE(open != steps.end() && close != steps.end());
    const int32_t start = std::get<2>(*open);
    const int32_t budget = 3;  // one step per frame of the output
    EXPECT_TRUE(std::any_of(open, close, [](const Step& s) { return std::get<0>(s) == 0 && std::get<1>(s) == 9; }));
    for (auto it = open + 1; it != close; ++it)
        EXPECT_LE(std::get<2>(*it), start + budget);
    EXPECT_EQ(*close, (Step{35, 1, start + budget}));
}

TEST(RunPipeline, AlignOnlyWritesEveryFrameBesideTheOutputAndBrightensTheResult)
{
    veltest::TempDir dir;
    Session run({L"/night/IMG_0001.CR2", L"/night/noext", L"/night/IMG_0003.CR2"}, dir.wfile("result.tif"));
    run.engine.setIntegrationMode(3);
    std::vector<std::wstring> aligned;
    run.adjust = [&](velrun::RunStages& s) {
        s.writeAlignedFrame = [&](velrun::RunContext&, velrun::Frame&, const std::wstring& path) {
            aligned.push_back(path);
            return true;
        };
        s.adjustBrightness = [](velrun::RunContext&, int32_t) {};
    };
    EXPECT_EQ(run.go(), VELOSTAR_OK);
    ASSERT_EQ(aligned.size(), 3u);
    EXPECT_EQ(aligned[0], dir.wfile("IMG_0001.align.tif"));
    EXPECT_EQ(aligned[1], dir.wfile("IMG_0003.align.tif"));
    // A frame name without an extension gets a unique name in the output's folder.
    EXPECT_EQ(aligned[2].substr(0, dir.wfile("Vel").size()), dir.wfile("Vel"));
    EXPECT_EQ(aligned[2].substr(aligned[2].size() - 10), L".align.tif");
    EXPECT_TRUE(run.engine.settings().autoBrightness);
    EXPECT_TRUE(run.log.contains(47, 1));
}

TEST(RunPipeline, BaseWhoseAlignedCopyCannotBeWrittenIsNotReportedUsed)
{
    veltest::TempDir dir;
    Session run({L"/night/a.tif", L"/night/b.tif"}, dir.wfile("out.tif"));
    run.engine.setIntegrationMode(3);
    run.adjust = [](velrun::RunStages& s) {
        s.writeAlignedFrame = [](velrun::RunContext&, velrun::Frame& f, const std::wstring&) { return !f.reference; };
    };
    run.go();
    EXPECT_TRUE(run.log.contains(25, 2));
    VelostarFrameReport base{};
    ASSERT_TRUE(run.engine.getFrameReport(0, &base) && base.reference);
    EXPECT_FALSE(base.used);
}

TEST(RunPipeline, TwoPassSwitchesExposureUnificationOnForADifferentExposure)
{
    veltest::TempDir dir;
    Session run({L"/night/a.tif", L"/night/b_iso200.tif"}, dir.wfile("out.tif"));
    auto decode = veltest::fakeDecoder();
    run.engine.setFrameDecoder([decode](const std::wstring& path, int c, int p, velimage::RowSink* rows) {
        auto image = decode(path, c, p, rows);
        const bool high = path.find(L"iso200") != std::wstring::npos;
        image->ensureMetadata().setShort(velimage::tags::ISOSpeedRatings, high ? 200 : 100);
        if (high)
            image->data()[0] = 1000;
        return image;
    });
    run.engine.setIntegrationMode(2);
    TwoPass pass;
    std::vector<uint16_t> stored;
    run.adjust = [&](velrun::RunStages& s) {
        pass.wire(s);
        // The reference is measured while its pixels are here; the second frame is twice as bright.
        s.measureReferenceExposure = [](velrun::RunContext& ctx, const velimage::Image16&) { ctx.referenceExposure = 1.0; };
        s.unifyExposure = [](velrun::RunContext& ctx, velrun::Frame& frame) {
            if (ctx.referenceExposure != 1.0)
                return false;
            veltone::scaleExposure(*frame.image, veltone::exposureFactor(ctx.referenceExposure, 2.0));
            return true;
        };
        s.packForStore = [&](velrun::RunContext&, velrun::Frame& frame) {
            stored.push_back(frame.image->data()[0]);
            return std::vector<velrun::StoredFrame>{};
        };
    };
    run.go();
    EXPECT_TRUE(run.engine.settings().unifyExposure);
    EXPECT_EQ(run.engine.settings().distortionCorrection, 2);  // freeze ground aligns with the complex model
    EXPECT_TRUE(run.log.contains(13, 1));
    EXPECT_EQ(stored, (std::vector<uint16_t>{500}));  // scaled by 65536 × 1 / 2 in 16.16
}

TEST(RunPipeline, CalibrationFramesThatDoNotFitAreSkippedAndTheRunGoesOnWithoutThem)
{
    veltest::TempDir dir;
    Session run({L"/night/a.tif", L"/night/b.tif"}, dir.wfile("out.tif"));
    auto decode = veltest::fakeDecoder();
    run.engine.setFrameDecoder([decode](const std::wstring& path, int c, int p, velimage::RowSink* rows) -> std::unique_ptr<velimage::Image16> {
        auto image = std::make_unique<velimage::Image16>();
        if (path.find(L"small") != std::wstring::npos)
            image->allocate(5, 4, 3);
        else if (path.find(L"grey") != std::wstring::npos)
            image->allocate(6, 4, 1);
        else
            return decode(path, c, p, rows);
        std::fill_n(image->data(), image->elementCount(), uint16_t{50});
        return image;
    });
    run.engine.addNoiseImage(L"/cal/dark.tif");  // the first frame that fits sets the size
    run.engine.addNoiseImage(L"/cal/small_dark.tif");
    run.engine.addNoiseImage(L"/cal/bad_dark.tif");
    run.engine.addVignettingImage(L"/cal/grey_flat.tif");
    run.adjust = [](velrun::RunStages& s) {
        velrun::RunStages calibration;
        velrun::addCalibrationStages(calibration);
        s.addNoiseFrame = calibration.addNoiseFrame;
        s.analyzeNoise = calibration.analyzeNoise;
        s.subtractNoise = calibration.subtractNoise;
        s.addVignettingFrame = calibration.addVignettingFrame;
        s.analyzeVignetting = calibration.analyzeVignetting;
        s.correctVignetting = calibration.correctVignetting;
    };
    EXPECT_EQ(run.go(), VELOSTAR_OK);
    // Per file: loaded and used, or not used (wrong size, unreadable, wrong channel count).
    std::vector<std::pair<std::wstring, int32_t>> calibrationLoads;
    for (size_t i = 0; i < run.log.steps.size(); ++i)
        if (std::get<0>(run.log.steps[i]) == 2 && run.log.paths[i].rfind(L"/cal/", 0) == 0)
            calibrationLoads.emplace_back(run.log.paths[i], std::get<1>(run.log.steps[i]));
    EXPECT_EQ(calibrationLoads, (std::vector<std::pair<std::wstring, int32_t>>{
                                    {L"/cal/dark.tif", 1}, {L"/cal/small_dark.tif", 2},
                                    {L"/cal/bad_dark.tif", 2}, {L"/cal/grey_flat.tif", 2}}));
    EXPECT_TRUE(run.log.contains(5, 1));   // the noise image stands on the one frame that fits
    EXPECT_TRUE(run.log.contains(19, 1));  // and is subtracted
    EXPECT_TRUE(run.log.contains(9, 2));   // no vignetting image ...
    EXPECT_FALSE(run.log.contains(22, 0));  // ... so no flat field
    EXPECT_EQ(run.fake.written.size(), 1u);
}

TEST(RunPipeline, AModeThatCannotRunNeverReportsSuccess)
{
    struct Case {
        const char* name;
        int32_t composition, integration;
        std::function<void(velrun::RunStages&)> remove;
        int32_t failedStage;  // closing report that says why
    };
    const std::vector<Case> cases{
        {"trails without its stage", 1, 0, [](velrun::RunStages& s) { s.composeTrails = nullptr; }, 15},
        {"select best pixels without its pass", 0, 1, [](velrun::RunStages& s) { s.integrationPassJob = nullptr; }, 15},
        {"freeze ground without its finishing", 0, 2, [](velrun::RunStages& s) { s.finishFreezeGround = nullptr; }, 15},
        {"a pass that cannot start", 0, 1, [](velrun::RunStages& s) { s.prepareIntegration = [](velrun::RunContext&) { return false; }; }, 35},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        veltest::TempDir dir;
        TwoPass pass;
        Session run({L"/night/a.tif", L"/night/b.tif", L"/night/c.tif"}, dir.wfile("out.tif"));
        run.engine.setCompositionMode(c.composition);
        run.engine.setIntegrationMode(c.integration);
        run.engine.setMemoryQuery([] { return uint64_t{64} << 30; });
        run.adjust = [&](velrun::RunStages& s) {
            pass.wire(s);
            c.remove(s);
        };
        EXPECT_EQ(run.go(), VELOSTAR_WRITE_FAILED);
        EXPECT_TRUE(run.log.contains(c.failedStage, 2));
        EXPECT_TRUE(run.fake.written.empty());
        EXPECT_EQ(dir.entryCount(), 0);
    }
}

TEST(RunPipeline, LightPollutionTakesOneStepForTheSurfaceAndFiveForTheGrid)
{
    for (int32_t kind : {1, 2}) {
        veltest::TempDir dir;
        Session run({L"/night/a.tif"}, dir.wfile("out.tif"));
        run.adjust = [](velrun::RunStages& stages) { velrun::addPollutionStage(stages); };
        run.engine.setReducePollution(kind, 0);
        ASSERT_EQ(run.go(), VELOSTAR_OK);
        const auto at = [&](int32_t stage) {
            return std::find_if(run.log.steps.begin(), run.log.steps.end(),
                                [stage](const Step& s) { return std::get<0>(s) == stage; });
        };
        ASSERT_NE(at(53), run.log.steps.end()) << kind;
        EXPECT_EQ(std::get<1>(*at(53)), 1);
        EXPECT_EQ(std::get<2>(*at(53)) - std::get<2>(*at(52)), kind == 1 ? 1 : 5);
        EXPECT_LT(at(53), at(44));  // before the final tone conversion
        EXPECT_EQ(std::get<2>(run.log.steps.back()), run.engine.totalSteps());
    }
}

TEST(FinishingSoftMask, IsMadeOnceWithTheFinerRadiusAtTheImageSize)
{
    VelostarImpl engine;
    EngineSettings settings;
    const uint8_t painted[3] = {0, 255, 0};
    settings.maskRgb = painted;
    settings.maskWidth = settings.maskHeight = 1;
    velrun::RunContext ctx(engine, settings);
    ctx.mask = std::make_unique<velimage::Image16>();
    ctx.mask->allocate(120, 90, 1);
    for (int32_t y = 0; y < 90; ++y)
        for (int32_t x = 0; x < 120; ++x)
            ctx.mask->row(y)[x] = y < 50 ? 65535 : 0;
    ctx.accumulation.allocate(60, 45, 3);
    EXPECT_EQ(velrun::finishingSoftMask(ctx), nullptr);  // no mask of the image's size

    ctx.accumulation.allocate(120, 90, 3);
    const velimage::Image16* soft = velrun::finishingSoftMask(ctx);
    ASSERT_NE(soft, nullptr);
    velimage::Image16 fine, coarse;
    ASSERT_TRUE(veltone::makeSoftSkyMask(*ctx.mask, 20, 90, fine));  // 90 bitmap pixels to one: 90 final passes
    ASSERT_TRUE(veltone::makeSoftSkyMask(*ctx.mask, 60, 90, coarse));
    EXPECT_TRUE(std::equal(fine.data(), fine.data() + fine.elementCount(), soft->data()));
    EXPECT_FALSE(std::equal(coarse.data(), coarse.data() + coarse.elementCount(), soft->data()));

    // Later stages and outputs of the run get the same mask, not a new one.
    std::fill_n(ctx.mask->data(), ctx.mask->elementCount(), 0);
    EXPECT_EQ(velrun::finishingSoftMask(ctx), soft);
    EXPECT_TRUE(std::equal(fine.data(), fine.data() + fine.elementCount(), soft->data()));
}

TEST(RunPipeline, MergedPixelsMakeEveryTimeLapseOutputPrepareItsOwnMask)
{
    veltest::TempDir dir;
    std::vector<std::wstring> stars;
    for (int i = 0; i < 6; ++i)
        stars.push_back(L"/night/f" + std::to_wstring(i) + L".tif");
    Session run(stars, dir.wfile("out.tif"));
    run.adjust = [](velrun::RunStages& stages) {
        const auto normalize = stages.normalize;
        const auto tone = stages.toneConvert;
        const auto write = stages.writeOutput;
        velrun::addSkyMaskStage(stages);
        velrun::addFinishingStages(stages);
        stages.normalize = normalize;
        stages.toneConvert = tone;
        stages.writeOutput = write;
    };
    const uint8_t sky[2 * 2 * 3] = {0, 255, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0};
    run.engine.setMask(sky, 2, 2);
    run.engine.setMergePixels(true);
    run.engine.setTimeLapseFrames(4);
    ASSERT_EQ(run.go(), VELOSTAR_OK);
    ASSERT_EQ(run.fake.written.size(), 3u);
    // Merging halves the mask with the image, so the next reference scales a full-size one again.
    EXPECT_EQ(std::count_if(run.log.steps.begin(), run.log.steps.end(),
                            [](const Step& s) { return std::get<0>(s) == 17 && std::get<1>(s) == 1; }),
              3);
    EXPECT_EQ(std::get<2>(run.log.steps.back()), run.engine.totalSteps());
}
