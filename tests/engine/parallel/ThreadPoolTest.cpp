#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "parallel/ProcessPool.h"
#include "parallel/ThreadPool.h"

using velthread::ThreadPool;

namespace {

struct Range {
    int32_t part, begin, end;
    bool onCaller;
};

std::vector<Range> recordSplit(ThreadPool& pool, int32_t parts, int32_t count)
{
    std::mutex lock;
    std::vector<Range> ranges;
    const auto caller = std::this_thread::get_id();
    pool.parallelFor([&](int32_t part, int32_t begin, int32_t end) {
        std::lock_guard<std::mutex> guard(lock);
        ranges.push_back({part, begin, end, std::this_thread::get_id() == caller});
    }, parts, count);
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.part < b.part; });
    return ranges;
}

}  // namespace

TEST(ThreadPool, SplitRoundsChunkUpAndRunsEmptyTailParts)
{
    ThreadPool pool(3);
    const auto ranges = recordSplit(pool, 8, 10);
    ASSERT_EQ(ranges.size(), 8u);
    const std::pair<int, int> expected[] = {{0, 2}, {2, 4}, {4, 6}, {6, 8}, {8, 10}, {10, 10}, {10, 10}, {10, 10}};
    for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_EQ(ranges[i].begin, expected[i].first) << "part " << i;
        EXPECT_EQ(ranges[i].end, expected[i].second) << "part " << i;
        EXPECT_FALSE(ranges[i].onCaller);
    }
}

TEST(ThreadPool, FewerItemsThanPartsRunOnceOnTheCaller)
{
    ThreadPool pool(2);
    auto ranges = recordSplit(pool, 8, 3);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].begin, 0);
    EXPECT_EQ(ranges[0].end, 3);
    EXPECT_EQ(ranges[0].part, 0);
    EXPECT_TRUE(ranges[0].onCaller);

    ranges = recordSplit(pool, 1, 100);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_TRUE(ranges[0].onCaller);
}

TEST(ThreadPool, EveryRowIsVisitedExactlyOnce)
{
    ThreadPool pool(4);
    for (int32_t count : {4, 5, 97, 1000, 4096}) {
        std::vector<std::atomic<int>> visits(static_cast<size_t>(count));
        pool.parallelFor([&](int32_t begin, int32_t end) {
            for (int32_t i = begin; i < end; ++i)
                visits[static_cast<size_t>(i)].fetch_add(1);
        }, pool.threadCount(), count);
        for (int32_t i = 0; i < count; ++i)
            ASSERT_EQ(visits[static_cast<size_t>(i)].load(), 1) << "row " << i << " of " << count;
    }
}

TEST(ThreadPool, ZeroThreadsBecomeOne)
{
    ThreadPool pool(0);
    EXPECT_EQ(pool.threadCount(), 1);
    std::atomic<int> sum{0};
    pool.parallelFor([&](int32_t begin, int32_t end) { sum += end - begin; }, 4, 40);
    EXPECT_EQ(sum.load(), 40);
}

namespace {

class CountingJob : public velthread::Job {
public:
    explicit CountingJob(std::atomic<int>& counter) : m_counter(counter) {}
    void run() override { m_counter.fetch_add(1); }
    void finished() override { ++finishedCalls; }
    int finishedCalls = 0;  // written under the completion lock, read after waitAll

private:
    std::atomic<int>& m_counter;
};

}  // namespace

TEST(ThreadPool, SubmitAndWaitAllCallFinishedOncePerJob)
{
    ThreadPool pool(2);
    std::atomic<int> counter{0};
    std::vector<CountingJob> jobs;
    jobs.reserve(16);
    for (int i = 0; i < 16; ++i)
        jobs.emplace_back(counter);
    for (auto& job : jobs)
        pool.submit(job);
    pool.waitAll(jobs);
    EXPECT_EQ(counter.load(), 16);
    for (const auto& job : jobs)
        EXPECT_EQ(job.finishedCalls, 1);
}

TEST(ThreadPool, ConcurrentSubmittersEachWaitForTheirOwnBatch)
{
    ThreadPool pool(2);
    constexpr int kSubmitters = 4, kRounds = 200, kCount = 64;
    std::vector<std::thread> submitters;
    std::atomic<int> failures{0};
    for (int s = 0; s < kSubmitters; ++s) {
        submitters.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                std::vector<int> rows(kCount, 0);
                pool.parallelFor([&](int32_t begin, int32_t end) {
                    for (int32_t i = begin; i < end; ++i)
                        rows[static_cast<size_t>(i)] += i;
                }, 3, kCount);
                // Every job of this batch must be complete when parallelFor returns.
                for (int i = 0; i < kCount; ++i)
                    if (rows[static_cast<size_t>(i)] != i)
                        failures.fetch_add(1);
            }
        });
    }
    for (auto& t : submitters)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

// Thread-local objects are destroyed when their thread exits, before a join on it returns.
struct ExitMark {
    std::atomic<int>* ended = nullptr;
    ~ExitMark() { ended && ended->fetch_add(1); }
};
thread_local ExitMark exitMark;

TEST(ThreadPool, DestroyingAnIdlePoolEndsItsWorkers)
{
    for (int i = 0; i < 20; ++i) {
        std::atomic<int> ended{0}, running{0};
        {
            ThreadPool pool(3);
            // Each part holds its worker until all three run, so every worker gets marked.
            pool.parallelFor([&](int32_t, int32_t) {
                exitMark.ended = &ended;
                running.fetch_add(1);
                while (running.load() < 3)
                    std::this_thread::yield();
            }, 3, 3);
        }  // the workers are waiting for work when the destructor runs
        EXPECT_EQ(ended.load(), 3);
    }
}

TEST(ThreadPool, JobClassBandsCoverItemsWithFloorPlusOneSize)
{
    // n = 10, T = 4: bands of 3 -> [0,3) [3,6) [6,9) [9,10)
    int32_t b = 0, e = 0;
    const std::pair<int, int> expected[] = {{0, 3}, {3, 6}, {6, 9}, {9, 10}};
    for (int part = 0; part < 4; ++part) {
        velthread::bandOf(part, 4, 10, b, e);
        EXPECT_EQ(b, expected[part].first);
        EXPECT_EQ(e, expected[part].second);
    }
    velthread::bandOf(3, 4, 2, b, e);  // n = 2: bands of 1, the tail is empty
    EXPECT_EQ(b, 2);
    EXPECT_EQ(e, 2);
}

TEST(ProcessPool, ScopeCreatesOnceAndTheLastScopeToEndDeletesIt)
{
    ASSERT_EQ(velthread::processPool(), nullptr);
    {
        velthread::ProcessPoolScope outer(2);
        ThreadPool* pool = velthread::processPool();
        ASSERT_NE(pool, nullptr);
        EXPECT_EQ(pool->threadCount(), 2);
        {
            velthread::ProcessPoolScope inner(5);
            EXPECT_EQ(velthread::processPool(), pool);
        }
        EXPECT_EQ(velthread::processPool(), pool);
        int sum = 0;
        std::mutex lock;
        velthread::parallelRows(100, [&](int32_t begin, int32_t end) {
            std::lock_guard<std::mutex> guard(lock);
            sum += end - begin;
        });
        EXPECT_EQ(sum, 100);
    }
    EXPECT_EQ(velthread::processPool(), nullptr);

    // Two engines' runs that overlap: the first run ending must leave the second its pool.
    auto first = std::make_unique<velthread::ProcessPoolScope>(2);
    ThreadPool* pool = velthread::processPool();
    auto second = std::make_unique<velthread::ProcessPoolScope>(2);
    first.reset();
    EXPECT_EQ(velthread::processPool(), pool);
    second.reset();
    EXPECT_EQ(velthread::processPool(), nullptr);
}

TEST(ThreadPool, WorkersWaitingAwakeRunEveryJobAndStillEnd)
{
    for (const int32_t threads : {1, 2, 3}) {
        std::atomic<int64_t> items{0};
        {
            ThreadPool pool(threads);
            const ThreadPool::StayReady ready(&pool);
            const ThreadPool::StayReady nested(&pool);
            for (int pass = 0; pass < 300; ++pass) {
                pool.parallelFor([&](int32_t begin, int32_t end) { items.fetch_add(end - begin); }, 4, 64);
                // Serial work between passes, now and then longer than a worker waits awake.
                const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(pass % 50 == 0 ? 2000 : 20);
                while (std::chrono::steady_clock::now() < until) {
                }
            }
        }  // the pool ends while its scopes' workers may still be waiting awake
        EXPECT_EQ(items.load(), 300 * 64) << threads << " threads";
    }
    const ThreadPool::StayReady none(nullptr);
}
