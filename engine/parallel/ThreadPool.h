#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "parallel/Job.h"

namespace velthread {

// Fixed set of worker threads running jobs first in, first out. Any number of threads may submit
// batches at once; each waits only for its own jobs. Jobs run to completion and are never cancelled.
class ThreadPool {
public:
    explicit ThreadPool(int32_t threadCount);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    int32_t threadCount() const { return m_threadCount; }

    // While one is alive, a worker that runs out of jobs waits for the next one awake for a
    // while instead of going to sleep: a computation of many short passes with a little serial
    // work between them then keeps its processors. Waking a sleeping worker takes as long as a
    // short pass on virtual machines, whose idle processors are halted. One worker fewer than
    // the pool has waits awake, so that the caller's serial work keeps a processor to itself.
    class StayReady {
    public:
        explicit StayReady(ThreadPool* pool);
        ~StayReady();
        StayReady(const StayReady&) = delete;
        StayReady& operator=(const StayReady&) = delete;

    private:
        ThreadPool* m_pool;
    };

    // Queues every job of the batch in order and blocks until all are done.
    // The container holds jobs (or pointers to jobs); the calling thread runs none of them.
    template <typename Jobs>
    void runAll(Jobs& jobs)
    {
        if (std::begin(jobs) == std::end(jobs))
            return;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            for (auto& job : jobs)
                enqueueLocked(asJob(job));
        }
        m_workAvailable.notify_all();
        std::unique_lock<std::mutex> lock(m_doneMutex);
        m_jobFinished.wait(lock, [&] {
            for (auto& job : jobs)
                if (!asJob(job).m_done)
                    return false;
            return true;
        });
    }

    // Queues one job and wakes one worker; pair with waitAll().
    void submit(Job& job);

    // Blocks until every job of the container is done.
    template <typename Jobs>
    void waitAll(Jobs& jobs)
    {
        std::unique_lock<std::mutex> lock(m_doneMutex);
        m_jobFinished.wait(lock, [&] {
            for (auto& job : jobs)
                if (!asJob(job).m_done)
                    return false;
            return true;
        });
    }

    // Splits [0, count) into `parts` contiguous ranges (chunk = count / parts rounded up, tail parts
    // may be empty) and runs body on each; with parts < 2 or count < parts the body runs here once.
    template <typename F>
    void parallelFor(F&& body, int32_t parts, int32_t count)
    {
        using Body = std::remove_reference_t<F>;
        if (parts < 2 || count < parts) {
            RegionJob<Body>(body, 0, 0, count).run();
            return;
        }
        const int32_t chunk = static_cast<int32_t>((static_cast<int64_t>(count) + parts - 1) / parts);
        std::vector<RegionJob<Body>> jobs;
        jobs.reserve(static_cast<size_t>(parts));
        int32_t begin = 0;
        for (int32_t part = 0; part < parts; ++part) {
            const int32_t end = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(begin) + chunk, count));
            jobs.emplace_back(body, part, begin, end);
            begin = end;
        }
        runAll(jobs);
    }

private:
    // Batches hold jobs, raw pointers to jobs or smart pointers to jobs.
    template <typename E>
    static Job& asJob(E& element)
    {
        if constexpr (std::is_base_of_v<Job, E>)
            return element;
        else
            return *element;
    }

    void enqueueLocked(Job& job);
    void workerLoop();
    // Waits awake for a queued job while ready mode lasts, for a while at most; false when it
    // gave up or may not wait awake. Called without the queue lock.
    bool waitAwake();

    std::mutex m_queueMutex;
    std::condition_variable m_workAvailable;
    Job* m_head = nullptr;
    Job* m_tail = nullptr;
    int64_t m_queueLength = 0;
    bool m_running = true;
    std::atomic<int64_t> m_queued{0};     // m_queueLength, for waits without the lock
    std::atomic<int32_t> m_readyScopes{0};
    std::atomic<int32_t> m_awakeWaiters{0};

    std::mutex m_doneMutex;
    std::condition_variable m_jobFinished;

    int32_t m_threadCount;
    std::vector<std::thread> m_workers;
};

// Band of items for part `part` of `parts` when each part takes n / parts + 1 items (the split of
// job classes with work of their own); the last bands may be shorter or empty.
inline void bandOf(int32_t part, int32_t parts, int32_t n, int32_t& begin, int32_t& end)
{
    const int64_t size = static_cast<int64_t>(n) / parts + 1;
    begin = static_cast<int32_t>(std::min<int64_t>(size * part, n));
    end = static_cast<int32_t>(std::min<int64_t>(size * (part + 1), n));
}

}  // namespace velthread
