#include "parallel/InFileProcess.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

#include "parallel/WidePath.h"

namespace velthread {

namespace {

// Reads exactly `size` bytes from the current position; false on error or early end.
bool readExactly(int descriptor, void* data, size_t size)
{
    auto* bytes = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t got = ::read(descriptor, bytes, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

InFileProcess::InFileProcess(std::vector<std::pair<int32_t, std::wstring>> files, int32_t width, int32_t height,
                             int32_t poolThreads, MemoryQuery memory, int32_t retryPauseMs)
    : FrameStore(width, height), m_files(std::move(files)), m_poolThreads(std::max<int32_t>(1, poolThreads)),
      m_memory(std::move(memory)), m_retryPauseMs(retryPauseMs)
{
}

InFileProcess::~InFileProcess()
{
    abandonPass();
    endReadBack();
}

bool InFileProcess::openFiles()
{
    std::vector<bool> opened(m_files.size(), false);
    std::vector<int> descriptors(m_files.size(), -1);
    size_t openCount = 0;
    for (;;) {
        size_t newlyOpened = 0;
        for (size_t i = 0; i < m_files.size(); ++i) {
            if (opened[i])
                continue;
            const int fd = ::open(velpath::toUtf8(m_files[i].second).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                opened[i] = true;
                descriptors[i] = fd;
                ++newlyOpened;
            }
        }
        openCount += newlyOpened;
        // The saver may still be closing a file: try again while a round makes progress.
        if (openCount == m_files.size() || newlyOpened == 0)
            break;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_readerMayGo.wait_for(lock, std::chrono::milliseconds(m_retryPauseMs), [&] { return !m_running; });
        if (!m_running)
            break;
    }
    // List order is storage order: the pass sees the frames in the order they were stored.
    for (size_t i = 0; i < m_files.size(); ++i)
        if (opened[i])
            m_open.push_back({m_files[i].first, descriptors[i]});
    return !m_open.empty() && !stopped();
}

void InFileProcess::planBands()
{
    const uint64_t n = std::max<uint64_t>(1, m_files.size());
    const uint64_t available = m_memory();
    const uint64_t spare = available > reserveBytes ? available - reserveBytes : 0;
    const uint64_t budget =
        std::min<uint64_t>(bandBudgetBytes / n, spare / ((static_cast<uint64_t>(m_poolThreads) + 2) * n));
    const uint64_t rowBytes = static_cast<uint64_t>(std::max<int32_t>(1, m_width)) * 4 * 2;
    uint64_t rows = budget / rowBytes;
    rows = std::min<uint64_t>(std::max<uint64_t>(rows, 2), static_cast<uint64_t>(m_height / m_poolThreads + 1));
    m_bandRows = static_cast<int32_t>(std::max<uint64_t>(rows, 1));
}

bool InFileProcess::beginReadBack(int32_t)
{
    if (m_width <= 0 || m_height <= 0 || !openFiles()) {
        closeFiles();
        return false;
    }
    planBands();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nextBandRow = 0;
        m_readerActive = true;
        m_readerStop = false;
    }
    m_reader = std::thread([this] { readerLoop(); });
    return true;
}

bool InFileProcess::readerMustWaitLocked() const
{
    if (!m_running || m_readerStop || m_ready.size() <= 1)
        return false;
    const uint64_t need = static_cast<uint64_t>(m_width) * static_cast<uint64_t>(m_bandRows) * 8u * m_open.size() +
                          reserveBytes;
    return need >= m_memory();
}

std::unique_ptr<uint16_t[]> InFileProcess::takeBuffer()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_freeBuffers.empty()) {
            auto buffer = std::move(m_freeBuffers.back());
            m_freeBuffers.pop_back();
            return buffer;
        }
    }
    return std::unique_ptr<uint16_t[]>(new uint16_t[static_cast<size_t>(m_bandRows) * m_width * 4]);
}

void InFileProcess::readerLoop()
{
    try {
        for (;;) {
            StoredBand band;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                // Memory is not signalled when it frees up, so the reader also looks again now and then.
                while (readerMustWaitLocked())
                    m_readerMayGo.wait_for(lock, std::chrono::milliseconds(200));
                if (!m_running || m_readerStop || m_nextBandRow >= m_height)
                    break;
                band.firstRow = m_nextBandRow;
                band.rows = std::min(m_bandRows, m_height - m_nextBandRow);
                m_nextBandRow += band.rows;
            }
            const size_t bytes = static_cast<size_t>(band.rows) * m_width * 4 * sizeof(uint16_t);
            for (const OpenFile& file : m_open) {
                auto buffer = takeBuffer();
                if (!readExactly(file.descriptor, buffer.get(), bytes)) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_freeBuffers.push_back(std::move(buffer));  // the band lacks this frame
                    continue;
                }
                band.markers.push_back(file.marker);
                band.pixels.push_back(buffer.get());
                band.buffers.push_back(std::move(buffer));
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ready.push_back(std::move(band));
            m_bandReady.notify_one();
        }
    } catch (...) {
        // Raised on the pipeline's thread when the pass ends (std::bad_alloc gives result 8).
        recordFailure(std::current_exception());
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readerActive = false;
    m_bandReady.notify_all();
}

bool InFileProcess::takeBand(StoredBand& band)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_bandReady.wait(lock, [&] { return !m_running || !m_ready.empty() || !m_readerActive; });
    if (!m_running || m_ready.empty())
        return false;
    band = std::move(m_ready.front());
    m_ready.pop_front();
    m_readerMayGo.notify_one();
    return true;
}

void InFileProcess::returnBand(StoredBand& band)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& buffer : band.buffers)
        m_freeBuffers.push_back(std::move(buffer));
    band.buffers.clear();
    band.pixels.clear();
    band.markers.clear();
}

void InFileProcess::wakeAllLocked()
{
    m_bandReady.notify_all();
    m_readerMayGo.notify_all();
}

void InFileProcess::endReadBack()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readerStop = true;
        m_readerMayGo.notify_all();
    }
    if (m_reader.joinable())
        m_reader.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ready.clear();
    m_freeBuffers.clear();
    closeFiles();
}

void InFileProcess::closeFiles()
{
    for (const OpenFile& file : m_open)
        ::close(file.descriptor);
    m_open.clear();
}

}  // namespace velthread
