#include "parallel/BackgroundLoader.h"

#include <algorithm>
#include <chrono>

#include "image/ImageFiles.h"

namespace velthread {

FrameDecoder defaultFrameDecoder(const std::atomic<bool>* cancelled)
{
    return [cancelled](const std::wstring& path, int colorSetting, int parts, velimage::RowSink* rows) {
        return velimage::loadImage(
            path, colorSetting, parts, [cancelled] { return cancelled && cancelled->load(std::memory_order_acquire); },
            rows);
    };
}

BackgroundLoader::BackgroundLoader(FrameDecoder decoder, MemoryQuery memory)
    : m_decoder(std::move(decoder)), m_memory(std::move(memory))
{
}

BackgroundLoader::~BackgroundLoader() { stop(); }

void BackgroundLoader::configure(bool rawInput, int32_t threads, int colorSetting, int32_t poolThreads)
{
    stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rawInput = rawInput;
    m_colorSetting = colorSetting;
    m_poolThreads = std::max<int32_t>(1, poolThreads);
    // A single-threaded pool still gets one loader thread, so reading overlaps the work there too.
    m_threadCount = std::max<int32_t>(1, threads);
    m_limit = std::min<int32_t>(2, m_threadCount);
    m_heldLimit = maxEntries;
    if (m_cancelled)
        return;
    m_running = true;
    for (int32_t i = 0; i < m_threadCount; ++i)
        m_threads.emplace_back([this] { threadLoop(); });
}

void BackgroundLoader::prefetch(const std::vector<std::wstring>& paths)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running)
            return;
        m_queue.insert(m_queue.end(), paths.begin(), paths.end());
    }
    m_work.notify_all();
}

void BackgroundLoader::holdAtMost(size_t frames)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_heldLimit = std::clamp<size_t>(frames, 1, maxEntries);
    }
    m_work.notify_all();
}

void BackgroundLoader::setRowWork(RowWork work)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rowWork = std::move(work);
}

LoadedFrame BackgroundLoader::decode(const std::wstring& path, int color, int parts, const RowWork& work)
{
    LoadedFrame frame;
    if (work)
        frame.rows = work(path);
    frame.image = m_decoder(path, color, parts, frame.rows.get());
    return frame;
}

bool BackgroundLoader::mayStartLocked() const
{
    if (m_entries.size() >= m_heldLimit || m_queue.empty() || m_decoding >= m_limit)
        return false;
    // A decoded frame that waits while memory is short must be claimed before the next starts.
    return m_entries.empty() || m_memory() >= lowMemoryBytes;
}

int BackgroundLoader::partsForDecode() const { return std::max<int32_t>(1, m_poolThreads - m_decoding + 1); }

void BackgroundLoader::threadLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        // Free memory is not signalled, so a thread held back by the memory guard looks again
        // now and then besides every wake-up.
        while (m_running && !mayStartLocked())
            m_work.wait_for(lock, std::chrono::milliseconds(500));
        if (!m_running)
            return;
        std::wstring path = std::move(m_queue.front());
        m_queue.pop_front();
        m_entries.push_back(Entry{m_nextNumber++, path, State::Loading, nullptr, nullptr, nullptr});
        Entry& entry = m_entries.back();
        ++m_decoding;
        const int parts = partsForDecode();
        const int color = m_colorSetting;
        const RowWork work = m_rowWork;
        lock.unlock();

        LoadedFrame frame;
        std::exception_ptr failure;
        try {
            frame = decode(path, color, parts, work);
        } catch (...) {
            // Raised again on the thread that claims this frame.
            failure = std::current_exception();
        }

        lock.lock();
        entry.image = std::move(frame.image);
        entry.rows = std::move(frame.rows);
        entry.failure = failure;
        entry.state = failure ? State::Failed : State::Loaded;
        --m_decoding;
        m_changed.notify_all();
        m_work.notify_all();
    }
}

std::unique_ptr<velimage::Image16> BackgroundLoader::claim(const std::wstring& path)
{
    return claimFrame(path).image;
}

LoadedFrame BackgroundLoader::claimFrame(const std::wstring& path)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.path == path; });
    if (it != m_entries.end()) {
        if (it->state == State::Loaded) {
            // Prefetching is ahead of the pipeline: fewer concurrent decodes leave the pool free.
            if (m_limit > 1 && m_entries.size() <= 1)
                --m_limit;
        } else if (it->state == State::Loading) {
            if (m_limit < m_threadCount) {
                ++m_limit;
                m_work.notify_one();
            }
            m_changed.wait(lock, [&] { return it->state != State::Loading || !m_running; });
            if (it->state == State::Loading)
                return {};  // cancelled; stop() discards the entry once its decode ends
        }
        LoadedFrame frame{std::move(it->image), std::move(it->rows)};
        const std::exception_ptr failure = it->failure;
        m_entries.erase(it);
        lock.unlock();
        m_work.notify_all();
        m_changed.notify_all();
        if (failure)
            std::rethrow_exception(failure);
        return frame;
    }

    const auto queued = std::find(m_queue.begin(), m_queue.end(), path);
    if (queued != m_queue.end())
        m_queue.erase(queued);
    if (m_cancelled)
        return {};
    const int parts = m_poolThreads;
    const int color = m_colorSetting;
    const RowWork work = m_rowWork;
    lock.unlock();
    return decode(path, color, parts, work);
}

void BackgroundLoader::stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        threads.swap(m_threads);
    }
    m_work.notify_all();
    m_changed.notify_all();
    for (auto& thread : threads)
        thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_entries.clear();
    m_decoding = 0;
    m_rowWork = nullptr;
}

void BackgroundLoader::cancel()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        m_running = false;
    }
    m_work.notify_all();
    m_changed.notify_all();
}

int32_t BackgroundLoader::concurrencyLimit() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_limit;
}

size_t BackgroundLoader::entryCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

}  // namespace velthread
