#pragma once

#include <exception>

#include "parallel/ProcessPool.h"

namespace velthread {

// A serial step on a worker of the pool while the calling thread does another that does not
// depend on it (the worker joins the other's row bands when it is done). An exception either
// throws is passed on once both are over.
template <typename F>
class BesideJob final : public Job {
public:
    explicit BesideJob(F& work) : m_work(work) {}
    void run() override
    {
        try {
            m_work();
        } catch (...) {
            m_failure = std::current_exception();
        }
    }
    std::exception_ptr failure() const { return m_failure; }

private:
    F& m_work;
    std::exception_ptr m_failure;
};

template <typename Serial, typename Other>
void besideEachOther(Serial&& serial, Other&& other)
{
    ThreadPool* pool = processPool();
    if (!pool || pool->threadCount() < 2) {
        serial();
        other();
        return;
    }
    BesideJob<Serial> job(serial);
    pool->submit(job);
    std::exception_ptr failure;
    try {
        other();
    } catch (...) {
        failure = std::current_exception();
    }
    BesideJob<Serial>* jobs[] = {&job};
    pool->waitAll(jobs);
    if (!failure)
        failure = job.failure();
    if (failure)
        std::rethrow_exception(failure);
}

// Two serial steps on two workers of the pool, the caller waiting (a step the caller ran itself
// would often share its processor with the worker it had just woken). An exception either throws
// is passed on once both are over.
template <typename First, typename Second>
void bothAtOnce(First&& first, Second&& second)
{
    ThreadPool* pool = processPool();
    if (!pool || pool->threadCount() < 2) {
        first();
        second();
        return;
    }
    BesideJob<First> one(first);
    BesideJob<Second> two(second);
    pool->submit(one);
    pool->submit(two);
    Job* jobs[] = {&one, &two};
    pool->waitAll(jobs);
    if (const std::exception_ptr failure = one.failure() ? one.failure() : two.failure())
        std::rethrow_exception(failure);
}

}  // namespace velthread
