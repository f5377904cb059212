#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

#include "PipelineHarness.h"
#include "support/RawDecodeChecks.h"
#include "support/TempDir.h"

using veltest::Session;
using veltest::TwoPass;
using veltest::Step;

namespace {

using namespace std::chrono_literals;

// After the record at `index`, no stage opens any more (closing codes and ticks may follow).
bool nothingOpensAfter(const std::vector<Step>& steps, size_t index)
{
    for (size_t i = index + 1; i < steps.size(); ++i) {
        const int32_t stage = std::get<0>(steps[i]);
        if (stage > 0 && stage % 2 == 0)
            return false;
    }
    return true;
}

}  // namespace

TEST(Cancellation, AtEveryStageBoundaryEndsTheRunCleanly)
{
    struct Case {
        int32_t stage;
        bool twoPass;
    };
    for (const Case c : {Case{2, false}, Case{21, false}, Case{27, false}, Case{25, false}, Case{29, false},
                         Case{39, false}, Case{45, false}, Case{25, true}, Case{29, true}, Case{33, true},
                         Case{35, true}, Case{39, true}}) {
        SCOPED_TRACE(testing::Message() << "stage " << c.stage << (c.twoPass ? " two-pass" : ""));
        veltest::TempDir dir;
        TwoPass pass;
        Session run(veltest::nightFrames(3), dir.wfile("out.tif"));
        if (c.twoPass) {
            run.engine.setIntegrationMode(1);
            run.engine.setMemoryQuery([] { return uint64_t{0}; });  // frames go to temporary files
            run.adjust = [&](velrun::RunStages& s) { pass.wire(s); };
        }
        size_t cancelledAt = 0;
        run.log.onRecord = [&](const ProgressRecord& record) {
            if (record.stage == c.stage && !run.engine.cancelled()) {
                cancelledAt = run.log.steps.size() - 1;
                run.engine.cancel();
            }
        };
        EXPECT_EQ(run.go(), VELOSTAR_CANCELLED);
        ASSERT_GT(cancelledAt, 0u);
        EXPECT_TRUE(nothingOpensAfter(run.log.steps, cancelledAt));
        EXPECT_TRUE(run.fake.written.empty());
        EXPECT_EQ(dir.entryCount(), 0) << "temporary files left behind";
        EXPECT_EQ(run.engine.run(), VELOSTAR_CANCELLED);  // a cancelled engine stays cancelled
    }
}

TEST(Cancellation, FromAnotherThreadWakesTheBlockedIntegrationPass)
{
    for (const bool files : {false, true}) {
        veltest::TempDir dir;
        TwoPass pass;
        Session run(veltest::nightFrames(3), dir.wfile("out.tif"));
        run.engine.setIntegrationMode(1);
        run.engine.setMemoryQuery([files] { return files ? uint64_t{0} : uint64_t{64} << 30; });
        std::promise<void> inPass;
        std::atomic<bool> signalled{false};
        run.adjust = [&](velrun::RunStages& s) {
            pass.wire(s);
            // Each pass job holds a band until the store is stopped; with files the reader is
            // held back by the memory guard meanwhile.
            s.integrationPassJob = [&](velrun::RunContext&, velthread::FrameStore& store) {
                velthread::StoredBand band;
                if (store.takeBand(band) && !signalled.exchange(true))
                    inPass.set_value();
                while (!store.stopped())
                    std::this_thread::sleep_for(1ms);
                store.returnBand(band);
            };
        };
        auto result = std::async(std::launch::async, [&] { return run.go(); });
        ASSERT_EQ(inPass.get_future().wait_for(10s), std::future_status::ready);
        run.engine.cancel();
        ASSERT_EQ(result.wait_for(10s), std::future_status::ready) << "a thread stayed blocked";
        EXPECT_EQ(result.get(), VELOSTAR_CANCELLED);
        EXPECT_TRUE(run.log.contains(35, 4));
        EXPECT_EQ(dir.entryCount(), 0);
    }
}

TEST(Cancellation, FromAnotherThreadWakesAClaimWaitingForTheLoader)
{
    veltest::TempDir dir;
    Session run(veltest::nightFrames(2), dir.wfile("out.tif"));
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
    auto decode = veltest::fakeDecoder();
    run.engine.setFrameDecoder([&](const std::wstring& path, int c, int p, velimage::RowSink* rows) {
        if (path.find(L"f1") != std::wstring::npos) {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        }
        return decode(path, c, p, rows);
    });
    run.adjust = [&](velrun::RunStages& s) {
        // The reference's first stage waits until the loader thread is decoding the next frame,
        // so that the pipeline's claim has to wait for it.
        s.removeHotPixels = [&](velrun::RunContext&, velrun::Frame& frame) {
            if (!frame.reference)
                return;
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return entered; });
        };
    };
    // The load of f1 opens after its decode began, so the claim that follows has to wait for it.
    std::promise<void> claiming, claimReturned;
    run.log.onRecord = [&](const ProgressRecord& record) {
        if (record.stage == 1 && record.path && std::wstring(record.path).find(L"f1") != std::wstring::npos)
            claiming.set_value();
        if (record.stage == 2 && record.detail == 2)
            claimReturned.set_value();
    };
    auto result = std::async(std::launch::async, [&] { return run.go(); });
    ASSERT_EQ(claiming.get_future().wait_for(10s), std::future_status::ready);
    run.engine.cancel();
    EXPECT_EQ(claimReturned.get_future().wait_for(10s), std::future_status::ready)
        << "the claim did not return while the decode was still running";
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), VELOSTAR_CANCELLED);
}

TEST(Cancellation, FromAnotherThreadEndsARunningRawDecode)
{
    veltest::TempDir dir;
    ASSERT_TRUE(veltest::writeScript(dir.file("decoder"), ": > \"$0.started\"; exec sleep 60"));
    const veltest::DecoderProgramOverride hanging(dir.file("decoder"));
    ASSERT_TRUE(veltest::writeBytes(dir.file("base.dng"), "never looked at"));
    // The engine's own RAW decoder, not the harness's fake one.
    VelostarImpl engine;
    veltest::FakeStages fake;
    engine.setStageFactory([&] { return fake.stages(); });
    engine.addStarImage(dir.wfile("base.dng").c_str());
    engine.setOutputFile(dir.wfile("out.tif").c_str());
    auto result = std::async(std::launch::async, [&] { return engine.run(); });
    for (int i = 0; i < 1000 && !std::filesystem::exists(dir.file("decoder.started")); ++i)
        std::this_thread::sleep_for(10ms);
    engine.cancel();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready) << "the decode ran on to its time limit";
    EXPECT_EQ(result.get(), VELOSTAR_CANCELLED);
    EXPECT_TRUE(veltest::noChildProcesses());
}

TEST(Cancellation, AllocationFailureInTheFileBackedPassGivesEightAndNoFilesRemain)
{
    veltest::TempDir dir;
    TwoPass pass;
    Session run(veltest::nightFrames(3), dir.wfile("out.tif"));
    run.engine.setIntegrationMode(1);
    run.engine.setMemoryQuery([] { return uint64_t{0}; });
    run.adjust = [&](velrun::RunStages& s) {
        pass.wire(s);
        s.integrationPassJob = [](velrun::RunContext&, velthread::FrameStore&) { throw std::bad_alloc(); };
    };
    EXPECT_EQ(run.go(), VELOSTAR_OUT_OF_MEMORY);
    EXPECT_EQ(dir.entryCount(), 0);
}
