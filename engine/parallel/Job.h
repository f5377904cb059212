#pragma once

#include <cstdint>
#include <type_traits>

namespace velthread {

class ThreadPool;

// One unit of work for the pool. Owned by the submitter, which keeps it alive until its batch is
// done; the pool only links it into its queue. A job is submitted once: `done` is never reset.
class Job {
public:
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    Job(Job&& other) noexcept : m_done(false), m_next(nullptr) { (void)other; }
    virtual ~Job() = default;

    virtual void run() = 0;
    // Called once after run(), on the worker, while the pool's completion lock is held.
    virtual void finished() {}

    // Read under the pool's completion lock only.
    bool isDone() const { return m_done; }

private:
    friend class ThreadPool;
    bool m_done = false;
    Job* m_next = nullptr;  // intrusive queue link: queuing costs no allocation
};

// A job over the index range [begin, end) of a parallelFor batch. The body is borrowed; it is
// called as body(begin, end), or body(part, begin, end) when it wants its part number.
template <typename F>
class RegionJob final : public Job {
public:
    RegionJob(F& body, int32_t part, int32_t begin, int32_t end)
        : m_body(body), m_part(part), m_begin(begin), m_end(end) {}

    void run() override
    {
        if constexpr (std::is_invocable_v<F&, int32_t, int32_t, int32_t>)
            m_body(m_part, m_begin, m_end);
        else
            m_body(m_begin, m_end);
    }

    int32_t part() const { return m_part; }
    int32_t begin() const { return m_begin; }
    int32_t end() const { return m_end; }

private:
    F& m_body;
    int32_t m_part;
    int32_t m_begin;
    int32_t m_end;
};

}  // namespace velthread
