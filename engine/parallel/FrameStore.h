#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "parallel/ThreadPool.h"

namespace velthread {

// The same rows of every stored frame, in the order the frames were stored. Frames whose rows
// could not be read are missing from the band. Each frame's rows are `rows` × width pixels of
// four 16-bit samples, contiguous from `firstRow`.
struct StoredBand {
    int32_t firstRow = 0;
    int32_t rows = 0;
    std::vector<int32_t> markers;
    std::vector<const uint16_t*> pixels;
    // Read buffers owned by the band until it is handed back (file-backed stores only).
    std::vector<std::unique_ptr<uint16_t[]>> buffers;
};

// The frames of a two-pass integration, handed out band by band to the pass jobs. Subclasses
// keep the frames in memory or in temporary files. startPass and waitPass come from the
// pipeline's thread, takeBand/returnBand/addFinishedRows from the pass jobs, stop() from any
// thread (cancellation): it wakes every waiter and makes takeBand hand out nothing more.
class FrameStore {
public:
    using PassBody = std::function<void(FrameStore&)>;

    FrameStore(int32_t width, int32_t height);
    virtual ~FrameStore();
    FrameStore(const FrameStore&) = delete;
    FrameStore& operator=(const FrameStore&) = delete;

    int32_t width() const { return m_width; }
    int32_t height() const { return m_height; }
    virtual size_t frameCount() const = 0;

    // Prepares the read-back and submits `jobs` pass jobs to `pool`, each running body(*this)
    // (typically: take bands until none is left, process, hand back). False when the frames
    // cannot be read back; no job was started then.
    bool startPass(ThreadPool& pool, int32_t jobs, PassBody body);
    // Waits up to 200 ms for a pass job to end. While some still run returns false with the
    // finished share of the rows in 1/1024 units; once all ended tidies up, raises a failure
    // caught on a job or the reader here, and returns true.
    bool waitPass(int32_t& share1024);
    // False when the store was stopped (cancelled) or nothing is left.
    virtual bool takeBand(StoredBand& band) = 0;
    virtual void returnBand(StoredBand& band) = 0;
    void addFinishedRows(int32_t rows) { m_finishedRows.fetch_add(rows, std::memory_order_relaxed); }
    int64_t finishedRows() const { return m_finishedRows.load(std::memory_order_relaxed); }

    void stop();
    bool stopped() const;

protected:
    virtual bool beginReadBack(int32_t jobs) = 0;
    // After every pass job ended: end helper threads, free buffers, close files.
    virtual void endReadBack() = 0;
    // Records the first failure; it is raised by waitPass.
    void recordFailure(std::exception_ptr failure);
    // Lets subclasses wake their own waiters on stop(); called with m_mutex held.
    virtual void wakeAllLocked() {}
    // Stops a pass that is still running and waits for its jobs. Subclass destructors call it
    // first, while their read-back state still exists.
    void abandonPass() noexcept;

    const int32_t m_width;
    const int32_t m_height;
    mutable std::mutex m_mutex;
    bool m_running = true;

private:
    class PassJob;
    void jobEnded();

    std::condition_variable m_jobEnded;
    int32_t m_runningJobs = 0;
    std::atomic<int64_t> m_finishedRows{0};
    std::exception_ptr m_failure;
    ThreadPool* m_pool = nullptr;
    PassBody m_body;
    std::vector<std::unique_ptr<PassJob>> m_jobs;
};

}  // namespace velthread
