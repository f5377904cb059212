#include "parallel/ThreadPool.h"

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
}

void ThreadPool::submit(Job& job)
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        enqueueLocked(job);
    }
    m_workAvailable.notify_one();
}

void ThreadPool::workerLoop()
{
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            m_workAvailable.wait(lock, [this] { return !m_running || m_head != nullptr; });
            if (!m_running)
                return;
            job = m_head;
            m_head = job->m_next;
            if (!m_head)
                m_tail = nullptr;
            --m_queueLength;
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
