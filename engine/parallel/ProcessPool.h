#pragma once

#include <cstdint>
#include <memory>

#include "parallel/ThreadPool.h"

namespace velthread {

// The one worker pool of the process: it exists while any ProcessPoolScope does (a run holds
// one); stages reach it here.
ThreadPool* processPool();
// Number of hardware threads, at least 1.
int32_t hardwareThreads();

// Makes the process pool exist for this scope (created with `threads`, default: hardware
// threads, when no other scope holds it) and deletes it when the last scope ends.
class ProcessPoolScope {
public:
    explicit ProcessPoolScope(int32_t threads = 0);
    ~ProcessPoolScope();
    ProcessPoolScope(const ProcessPoolScope&) = delete;
    ProcessPoolScope& operator=(const ProcessPoolScope&) = delete;
    ThreadPool& pool() const { return *processPool(); }
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
