#include "parallel/FrameStore.h"

#include <chrono>

namespace velthread {

class FrameStore::PassJob final : public Job {
public:
    PassJob(FrameStore& store, const PassBody& body) : m_store(store), m_body(body) {}

    void run() override
    {
        try {
            m_body(m_store);
        } catch (...) {
            // No exception leaves a pool thread: the pipeline raises it when the pass ends.
            m_store.recordFailure(std::current_exception());
        }
        m_store.jobEnded();
    }

private:
    FrameStore& m_store;
    const PassBody& m_body;
};

FrameStore::FrameStore(int32_t width, int32_t height) : m_width(width), m_height(height) {}

FrameStore::~FrameStore() = default;

void FrameStore::abandonPass() noexcept
{
    if (m_jobs.empty())
        return;
    stop();
    int32_t share = 0;
    try {
        while (!waitPass(share)) {
        }
    } catch (...) {
        // the pass is being thrown away with its failure
    }
}

bool FrameStore::startPass(ThreadPool& pool, int32_t jobs, PassBody body)
{
    if (jobs < 1)
        jobs = 1;
    if (stopped() || !beginReadBack(jobs))
        return false;
    m_body = std::move(body);
    m_pool = &pool;
    m_jobs.reserve(static_cast<size_t>(jobs));
    for (int32_t i = 0; i < jobs; ++i)
        m_jobs.push_back(std::make_unique<PassJob>(*this, m_body));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runningJobs = jobs;
    }
    for (auto& job : m_jobs)
        pool.submit(*job);
    return true;
}

void FrameStore::jobEnded()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_runningJobs;
    m_jobEnded.notify_all();
}

bool FrameStore::waitPass(int32_t& share1024)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_runningJobs > 0)
            m_jobEnded.wait_for(lock, std::chrono::milliseconds(200));
        if (m_runningJobs > 0) {
            share1024 = m_height > 0 ? static_cast<int32_t>(finishedRows() * 1024 / m_height) : 0;
            return false;
        }
    }
    // The pool still touches a job after its run() returned; wait for that before freeing it.
    if (m_pool && !m_jobs.empty())
        m_pool->waitAll(m_jobs);
    m_jobs.clear();
    endReadBack();
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        failure = m_failure;
        m_failure = nullptr;
    }
    if (failure)
        std::rethrow_exception(failure);
    share1024 = 1024;
    return true;
}

void FrameStore::recordFailure(std::exception_ptr failure)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_failure)
        m_failure = failure;
}

void FrameStore::stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
    m_jobEnded.notify_all();
    wakeAllLocked();
}

bool FrameStore::stopped() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_running;
}

}  // namespace velthread
