#pragma once

#include <cstdint>
#include <memory>

#include "parallel/ThreadPool.h"

namespace velthread {

// The one worker pool of the process. run() creates it when none exists and deletes it on
// return; stages reach it here. Creating and deleting happen on the pipeline's thread only.
ThreadPool* processPool();
// Number of hardware threads, at least 1.
int32_t hardwareThreads();

// Makes the process pool exist for this scope (with `threads`, default: hardware threads) and
// deletes it on exit if this scope created it.
class ProcessPoolScope {
public:
    explicit ProcessPoolScope(int32_t threads = 0);
    ~ProcessPoolScope();
    ProcessPoolScope(const ProcessPoolScope&) = delete;
    ProcessPoolScope& operator=(const ProcessPoolScope&) = delete;
    ThreadPool& pool() const { return *processPool(); }

private:
    bool m_created = false;
};

// Row-band pass on the process pool (or inline when there is none): the everyday split.
template <typename F>
void parallelRows(int32_t count, F&& body)
{
    ThreadPool* pool = processPool();
    if (!pool) {
        using Body = std::remove_reference_t<F>;
        RegionJob<Body>(body, 0, 0, count).run();
        return;
    }
    pool->parallelFor(body, pool->threadCount(), count);
}

// Number of parts a stage should make: the pool's thread count, or 1 without a pool.
inline int32_t partCount()
{
    ThreadPool* pool = processPool();
    return pool ? pool->threadCount() : 1;
}

}  // namespace velthread
