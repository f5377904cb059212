#include "parallel/BackgroundSaver.h"

namespace velthread {

BackgroundSaver::~BackgroundSaver() { shutdown(); }

bool BackgroundSaver::enqueue(std::wstring path, std::unique_ptr<velimage::ISaveable> image)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_cancelled)
        return false;
    if (!m_writer.joinable()) {
        m_running = true;
        m_writer = std::thread([this] { writerLoop(); });
    }
    m_changed.wait(lock, [&] { return m_cancelled || m_queue.size() < maxQueued; });
    if (m_cancelled)
        return false;
    m_queue.emplace_back(std::move(path), std::move(image));
    lock.unlock();
    m_work.notify_one();
    return true;
}

bool BackgroundSaver::waitIdle()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_cancelled || (m_queue.empty() && m_writing == 0); });
    return !m_cancelled;
}

int32_t BackgroundSaver::failedWrites() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

void BackgroundSaver::writerLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return !m_running || !m_queue.empty(); });
        if (!m_running)
            return;
        auto pair = std::move(m_queue.front());
        m_queue.pop_front();
        ++m_writing;
        lock.unlock();
        m_changed.notify_all();

        bool written = false;
        try {
            written = pair.second->save(pair.first);
        } catch (...) {
            // A failed write leaves a missing or short file; the reader treats it as a missing frame.
        }
        pair.second.reset();

        lock.lock();
        --m_writing;
        if (!written)
            ++m_failed;
        m_changed.notify_all();
    }
}

void BackgroundSaver::cancel()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        m_running = false;
    }
    m_work.notify_all();
    m_changed.notify_all();
}

void BackgroundSaver::shutdown()
{
    std::thread writer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        writer.swap(m_writer);
    }
    m_work.notify_all();
    m_changed.notify_all();
    if (writer.joinable())
        writer.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
}

}  // namespace velthread
