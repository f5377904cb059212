#include "parallel/ProcessPool.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace velthread {
namespace {

std::atomic<ThreadPool*> g_pool{nullptr};
// Scopes alive now: two engines of one host may run at once, and the pool must outlive both.
std::mutex g_scopeMutex;
int32_t g_scopes = 0;

}  // namespace

ThreadPool* processPool() { return g_pool.load(std::memory_order_acquire); }

int32_t hardwareThreads()
{
    const unsigned count = std::thread::hardware_concurrency();
    return count < 1 ? 1 : static_cast<int32_t>(count);
}

ProcessPoolScope::ProcessPoolScope(int32_t threads)
{
    std::lock_guard<std::mutex> lock(g_scopeMutex);
    if (g_scopes++ == 0 && !processPool())
        g_pool.store(new ThreadPool(threads > 0 ? threads : hardwareThreads()), std::memory_order_release);
}

ProcessPoolScope::~ProcessPoolScope()
{
    std::lock_guard<std::mutex> lock(g_scopeMutex);
    if (--g_scopes == 0)
        delete g_pool.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace velthread
