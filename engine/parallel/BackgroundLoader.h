#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image/Image.h"
#include "image/RowSink.h"
#include "parallel/MemoryStatus.h"

namespace velthread {

// Decodes one frame file: (path, colour setting 1..3, pool parts for its parallel steps, the row
// sink to show the rows to, or null). Null when the file cannot be read; may throw std::bad_alloc.
using FrameDecoder = std::function<std::unique_ptr<velimage::Image16>(const std::wstring& path, int colorSetting,
                                                                      int parts, velimage::RowSink* rows)>;

// Makes the row work of one frame's decode (a fresh sink per frame).
using RowWork = std::function<std::unique_ptr<velimage::RowSink>(const std::wstring& path)>;

// A decoded frame and the row work that saw its rows (null when there was none).
struct LoadedFrame {
    std::unique_ptr<velimage::Image16> image;
    std::unique_ptr<velimage::RowSink> rows;
};

// The decoder of the image-file readers. A RAW decode under way ends as soon as `cancelled`
// (when given; it must outlive the decoder) becomes true.
FrameDecoder defaultFrameDecoder(const std::atomic<bool>* cancelled = nullptr);

// Decodes upcoming frames on its own threads while the pipeline works on the current one.
// configure/prefetch/claim/stop come from the pipeline's thread; cancel() from any thread.
// At most four decoded frames are held (fewer when asked); none is added while one is waiting
// and physical memory is low.
class BackgroundLoader {
public:
    static constexpr size_t maxEntries = 4;
    static constexpr uint64_t lowMemoryBytes = 0x83400000ull;

    explicit BackgroundLoader(FrameDecoder decoder = defaultFrameDecoder(),
                              MemoryQuery memory = availablePhysicalMemory);
    ~BackgroundLoader();
    BackgroundLoader(const BackgroundLoader&) = delete;
    BackgroundLoader& operator=(const BackgroundLoader&) = delete;

    // Starts `threads` loader threads (at least one); `poolThreads` sizes each decode's parts.
    // Stops any earlier set of threads first. Does nothing after cancel().
    void configure(bool rawInput, int32_t threads, int colorSetting, int32_t poolThreads);
    void prefetch(const std::vector<std::wstring>& paths);
    // From now on holds at most `frames` frames, decoded or decoding (1 .. maxEntries); configure
    // restores maxEntries.
    void holdAtMost(size_t frames);
    // Decodes that start from now on show their rows to a sink made by `work` (none when empty).
    void setRowWork(RowWork work);
    // The decoded frame for `path` (ownership moves to the caller), decoding it here when it was
    // never queued. Null when the file cannot be read or the loader was cancelled meanwhile.
    // A failure caught on a loader thread (std::bad_alloc included) is raised here.
    std::unique_ptr<velimage::Image16> claim(const std::wstring& path);
    // The same with the row work of its decode.
    LoadedFrame claimFrame(const std::wstring& path);
    // Joins the threads and discards queued paths, unclaimed frames and the row work.
    void stop();
    // Wakes every waiter and lets the threads end after their current decode; sticky.
    void cancel();

    bool rawInput() const { return m_rawInput; }
    int32_t concurrencyLimit() const;
    size_t entryCount() const;

private:
    enum class State { Loading = 1, Loaded = 2, Failed = 3 };
    struct Entry {
        int32_t number = 0;
        std::wstring path;
        State state = State::Loading;
        std::unique_ptr<velimage::Image16> image;
        std::unique_ptr<velimage::RowSink> rows;
        std::exception_ptr failure;
    };

    void threadLoop();
    bool mayStartLocked() const;
    int partsForDecode() const;

    // Runs the decoder with a fresh sink from `work` (when it has one).
    LoadedFrame decode(const std::wstring& path, int color, int parts, const RowWork& work);

    FrameDecoder m_decoder;
    MemoryQuery m_memory;
    RowWork m_rowWork;

    mutable std::mutex m_mutex;
    std::condition_variable m_work;     // loader threads: something to decode, or stop
    std::condition_variable m_changed;  // claimers: an entry finished or left the list
    bool m_running = false;
    bool m_cancelled = false;
    std::vector<std::thread> m_threads;
    std::deque<std::wstring> m_queue;
    std::list<Entry> m_entries;  // list: entries keep their address while a decode runs
    int32_t m_nextNumber = 0;
    int32_t m_limit = 2;
    size_t m_heldLimit = maxEntries;
    int32_t m_threadCount = 0;
    int32_t m_decoding = 0;
    int32_t m_poolThreads = 1;
    bool m_rawInput = false;
    int m_colorSetting = 1;
};

}  // namespace velthread
