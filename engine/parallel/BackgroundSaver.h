#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "image/ISaveable.h"

namespace velthread {

// Writes handed-off images to disk on one thread of its own. The queue holds at most three
// pairs, so a slow disk throttles the pipeline instead of filling memory. enqueue, waitIdle and
// shutdown come from the pipeline's thread; cancel() from any thread, and it is sticky.
class BackgroundSaver {
public:
    static constexpr size_t maxQueued = 3;

    BackgroundSaver() = default;
    ~BackgroundSaver();
    BackgroundSaver(const BackgroundSaver&) = delete;
    BackgroundSaver& operator=(const BackgroundSaver&) = delete;

    // Queues the image for writing to `path` and takes ownership; blocks while the queue is full.
    // False (the image is dropped) once cancelled.
    bool enqueue(std::wstring path, std::unique_ptr<velimage::ISaveable> image);
    // Blocks until every queued image was written; false when cancelled meanwhile.
    bool waitIdle();
    // Number of writes that reported failure since construction.
    int32_t failedWrites() const;
    void cancel();
    // Cancels, joins the writer and deletes every image still queued.
    void shutdown();

private:
    void writerLoop();

    mutable std::mutex m_mutex;
    std::condition_variable m_work;     // writer: a pair was queued, or stop
    std::condition_variable m_changed;  // producers: the queue shrank or a write ended
    std::deque<std::pair<std::wstring, std::unique_ptr<velimage::ISaveable>>> m_queue;
    std::thread m_writer;
    bool m_running = false;
    bool m_cancelled = false;
    int32_t m_writing = 0;
    int32_t m_failed = 0;
};

}  // namespace velthread
