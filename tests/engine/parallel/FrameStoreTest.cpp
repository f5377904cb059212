#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "image/ImageTypes.h"
#include "parallel/InFileProcess.h"
#include "parallel/MemoryFrameStore.h"
#include "parallel/ThreadPool.h"
#include "parallel/WidePath.h"
#include "support/TempDir.h"

using velthread::FrameStore;
using velthread::InFileProcess;
using velthread::MemoryFrameStore;
using velthread::StoredBand;

namespace {

using namespace std::chrono_literals;

constexpr int32_t W = 5, H = 23;

// Sample (x, y, c) of frame f: unique across frames, rows and channels.
uint16_t sampleOf(int f, int32_t x, int32_t y, int32_t c) { return static_cast<uint16_t>(f * 10000 + y * 100 + x * 4 + c); }

std::unique_ptr<velimage::PostWeightedImage> frame(int f)
{
    auto image = std::make_unique<velimage::PostWeightedImage>();
    image->allocate(W, H, 4);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int32_t c = 0; c < 4; ++c)
                image->row(y)[x * 4 + c] = sampleOf(f, x, y, c);
    return image;
}

// What the pass saw: per (marker, row) how often and whether every sample matched.
struct Seen {
    std::mutex mutex;
    std::map<std::pair<int32_t, int32_t>, int> rows;
    bool allMatch = true;
};

// A pass body that checks every sample against the frame with number `marker - 1`.
FrameStore::PassBody checkingBody(Seen& seen)
{
    return [&seen](FrameStore& store) {
        StoredBand band;
        while (store.takeBand(band)) {
            for (size_t e = 0; e < band.pixels.size(); ++e) {
                const int f = band.markers[e] - 1;
                for (int32_t r = 0; r < band.rows; ++r) {
                    bool match = true;
                    const uint16_t* row = band.pixels[e] + static_cast<size_t>(r) * W * 4;
                    for (int32_t i = 0; i < W * 4; ++i)
                        match = match && row[i] == sampleOf(f, i / 4, band.firstRow + r, i % 4);
                    std::lock_guard<std::mutex> lock(seen.mutex);
                    ++seen.rows[{band.markers[e], band.firstRow + r}];
                    seen.allMatch = seen.allMatch && match;
                }
            }
            store.addFinishedRows(band.rows);
            store.returnBand(band);
        }
    };
}

void runToEnd(FrameStore& store)
{
    int32_t share = 0;
    while (!store.waitPass(share)) {
    }
}

}  // namespace

TEST(MemoryFrameStore, PassReadsBackEveryRowOfEveryFrameOnce)
{
    velthread::ThreadPool pool(3);
    MemoryFrameStore store(W, H);
    for (int f = 0; f < 3; ++f)
        ASSERT_TRUE(store.add(f + 1, frame(f)));
    auto wrong = std::make_unique<velimage::PostWeightedImage>();
    wrong->allocate(W + 1, H, 4);
    EXPECT_FALSE(store.add(1, std::move(wrong)));

    Seen seen;
    ASSERT_TRUE(store.startPass(pool, 3, checkingBody(seen)));
    runToEnd(store);
    EXPECT_TRUE(seen.allMatch);
    EXPECT_EQ(seen.rows.size(), 3u * H);
    for (const auto& [key, count] : seen.rows)
        EXPECT_EQ(count, 1) << "marker " << key.first << " row " << key.second;
    EXPECT_EQ(store.finishedRows(), H);
    EXPECT_FALSE(store.stopped());
}

TEST(InFileProcess, ReadsBackFilesAndLeavesOutMissingAndShortOnes)
{
    veltest::TempDir dir;
    std::vector<std::pair<int32_t, std::wstring>> files;
    for (int f = 0; f < 3; ++f) {
        const std::wstring path = dir.wfile("f" + std::to_string(f) + ".tmp");
        ASSERT_TRUE(frame(f)->save(path));
        files.emplace_back(f + 1, path);
    }
    // Frame 4 ends after 3 rows; frame 5 was never written.
    auto shortFrame = frame(3);
    ASSERT_TRUE(shortFrame->save(dir.wfile("short.tmp")));
    const std::string shortBytes = veltest::readBytes(dir.file("short.tmp"));
    ASSERT_TRUE(veltest::writeBytes(dir.file("short.tmp"), shortBytes.substr(0, 3 * W * 8)));
    files.emplace_back(4, dir.wfile("short.tmp"));
    files.emplace_back(5, dir.wfile("missing.tmp"));

    velthread::ThreadPool pool(2);
    // No memory to spare: the smallest bands, and the reader may run only one band ahead.
    InFileProcess store(files, W, H, 2, [] { return uint64_t{0}; }, 1);
    Seen seen;
    ASSERT_TRUE(store.startPass(pool, 2, checkingBody(seen)));
    runToEnd(store);
    EXPECT_EQ(store.bandRows(), 2);
    EXPECT_TRUE(seen.allMatch);
    for (int32_t marker = 1; marker <= 3; ++marker)
        for (int32_t y = 0; y < H; ++y)
            EXPECT_EQ((seen.rows[{marker, y}]), 1) << marker << " " << y;
    // The short file supplies only its first whole band.
    int shortRows = 0;
    for (int32_t y = 0; y < H; ++y)
        shortRows += seen.rows.count({4, y}) ? 1 : 0;
    EXPECT_EQ(shortRows, 2);
    for (int32_t y = 0; y < H; ++y)
        EXPECT_EQ(seen.rows.count({5, y}), 0u);
    EXPECT_EQ(store.finishedRows(), H);
}

TEST(InFileProcess, FailsWhenNoFileCanBeOpened)
{
    veltest::TempDir dir;
    velthread::ThreadPool pool(1);
    InFileProcess store({{2, dir.wfile("none.tmp")}}, W, H, 1, [] { return uint64_t{0}; }, 1);
    Seen seen;
    EXPECT_FALSE(store.startPass(pool, 1, checkingBody(seen)));
}

TEST(InFileProcess, BandPlanFollowsTheMemoryBudget)
{
    veltest::TempDir dir;
    ASSERT_TRUE(frame(0)->save(dir.wfile("a.tmp")));
    velthread::ThreadPool pool(1);
    // With plenty of memory the band is capped at height / threads + 1 rows.
    InFileProcess store({{1, dir.wfile("a.tmp")}}, W, H, 2, [] { return uint64_t{64} << 30; }, 1);
    Seen seen;
    ASSERT_TRUE(store.startPass(pool, 1, checkingBody(seen)));
    runToEnd(store);
    EXPECT_EQ(store.bandRows(), H / 2 + 1);
    EXPECT_TRUE(seen.allMatch);
}

TEST(InFileProcess, StopWakesBlockedJobsAndTheReader)
{
    veltest::TempDir dir;
    std::vector<std::pair<int32_t, std::wstring>> files;
    for (int f = 0; f < 2; ++f) {
        files.emplace_back(f + 1, dir.wfile("f" + std::to_string(f) + ".tmp"));
        ASSERT_TRUE(frame(f)->save(files.back().second));
    }
    velthread::ThreadPool pool(2);
    InFileProcess store(files, W, H, 2, [] { return uint64_t{0}; }, 1);
    std::atomic<int> holding{0};
    // Each job holds its first band until the store stops; the reader fills its look-ahead and waits.
    ASSERT_TRUE(store.startPass(pool, 2, [&](FrameStore& s) {
        StoredBand band;
        if (!s.takeBand(band))
            return;
        ++holding;
        while (!s.stopped())
            std::this_thread::sleep_for(1ms);
        s.returnBand(band);
        while (s.takeBand(band))
            s.returnBand(band);
    }));
    int32_t share = -1;
    for (int i = 0; i < 1000 && holding < 2; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(holding, 2);
    EXPECT_FALSE(store.waitPass(share));
    EXPECT_EQ(share, 0);
    auto stopper = std::async(std::launch::async, [&] { store.stop(); });
    auto finished = std::async(std::launch::async, [&] { runToEnd(store); });
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(store.stopped());
}

TEST(FrameStore, FailureOnAPassJobIsRaisedWhenThePassEnds)
{
    velthread::ThreadPool pool(2);
    MemoryFrameStore store(W, H);
    ASSERT_TRUE(store.add(3, frame(0)));
    ASSERT_TRUE(store.startPass(pool, 2, [](FrameStore&) { throw std::bad_alloc(); }));
    int32_t share = 0;
    EXPECT_THROW(
        {
            while (!store.waitPass(share)) {
            }
        },
        std::bad_alloc);
}
