#include "parallel/ProcessPool.h"

#include <atomic>
#include <thread>

namespace velthread {
namespace {

std::atomic<ThreadPool*> g_pool{nullptr};

}  // namespace

ThreadPool* processPool() { return g_pool.load(std::memory_order_acquire); }

int32_t hardwareThreads()
{
    const unsigned count = std::thread::hardware_concurrency();
    return count < 1 ? 1 : static_cast<int32_t>(count);
}

ProcessPoolScope::ProcessPoolScope(int32_t threads)
{
    if (processPool())
        return;
    auto pool = std::make_unique<ThreadPool>(threads > 0 ? threads : hardwareThreads());
    ThreadPool* expected = nullptr;
    if (g_pool.compare_exchange_strong(expected, pool.get(), std::memory_order_acq_rel)) {
        pool.release();
        m_created = true;
    }
}

ProcessPoolScope::~ProcessPoolScope()
{
    if (m_created)
        delete g_pool.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace velthread
