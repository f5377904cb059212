#include "parallel/ThreadPool.h"

#include <chrono>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#include <sched.h>

namespace velthread {

ThreadPool::ThreadPool(int32_t threadCount) : m_threadCount(threadCount < 1 ? 1 : threadCount)
{
    m_workers.reserve(static_cast<size_t>(m_threadCount));
    for (int32_t i = 0; i < m_threadCount; ++i)
        m_workers.emplace_back([this] { workerLoop(); });
}

ThreadPool::~ThreadPool()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_running = false;
        // Jobs still queued are dropped unrun; their owners must not be waiting on them any more.
        m_head = m_tail = nullptr;
        m_queueLength = 0;
        m_queued.store(0, std::memory_order_relaxed);
    }
    m_workAvailable.notify_all();
    for (auto& worker : m_workers)
        worker.join();
    std::lock_guard<std::mutex> lock(m_doneMutex);
    m_jobFinished.notify_all();
}

void ThreadPool::enqueueLocked(Job& job)
{
    job.m_next = nullptr;
    if (m_tail)
        m_tail->m_next = &job;
    else
        m_head = &job;
    m_tail = &job;
    ++m_queueLength;
    m_queued.store(m_queueLength, std::memory_order_release);
}

void ThreadPool::submit(Job& job)
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        enqueueLocked(job);
    }
    m_workAvailable.notify_one();
}

namespace {

// Longest awake wait for the next job: the serial work between two passes of one computation is
// shorter; a longer pause goes to sleep.
constexpr std::chrono::microseconds AwakeWait{400};
// Awake waiting yields the processor this often to any other thread that wants it.
constexpr int32_t SpinsPerYield = 256;

inline void spinPause()
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

}  // namespace

ThreadPool::StayReady::StayReady(ThreadPool* pool) : m_pool(pool)
{
    if (m_pool)
        m_pool->m_readyScopes.fetch_add(1, std::memory_order_relaxed);
}

ThreadPool::StayReady::~StayReady()
{
    if (m_pool)
        m_pool->m_readyScopes.fetch_sub(1, std::memory_order_relaxed);
}

bool ThreadPool::waitAwake()
{
    if (m_readyScopes.load(std::memory_order_relaxed) == 0)
        return false;
    int32_t waiters = m_awakeWaiters.load(std::memory_order_relaxed);
    do {
        if (waiters >= m_threadCount - 1)
            return false;
    } while (!m_awakeWaiters.compare_exchange_weak(waiters, waiters + 1, std::memory_order_relaxed));
    const auto until = std::chrono::steady_clock::now() + AwakeWait;
    bool queued = false;
    for (int32_t spins = 1;; ++spins) {
        if (m_queued.load(std::memory_order_acquire) > 0) {
            queued = true;
            break;
        }
        if (m_readyScopes.load(std::memory_order_relaxed) == 0)
            break;
        if (spins % SpinsPerYield == 0) {
            if (std::chrono::steady_clock::now() >= until)
                break;
            sched_yield();
        }
        spinPause();
    }
    m_awakeWaiters.fetch_sub(1, std::memory_order_relaxed);
    return queued;
}

void ThreadPool::workerLoop()
{
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            while (m_running && !m_head) {
                if (m_readyScopes.load(std::memory_order_relaxed) > 0) {
                    lock.unlock();
                    const bool queued = waitAwake();
                    lock.lock();
                    if (queued || !m_running || m_head)
                        continue;
                }
                m_workAvailable.wait(lock);
            }
            if (!m_running)
                return;
            job = m_head;
            m_head = job->m_next;
            if (!m_head)
                m_tail = nullptr;
            --m_queueLength;
            m_queued.store(m_queueLength, std::memory_order_relaxed);
        }
        job->run();
        {
            std::lock_guard<std::mutex> lock(m_doneMutex);
            job->m_done = true;
            job->finished();
        }
        m_jobFinished.notify_all();
    }
}

}  // namespace velthread
