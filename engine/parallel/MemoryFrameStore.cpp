#include "parallel/MemoryFrameStore.h"

#include <algorithm>

namespace velthread {

MemoryFrameStore::~MemoryFrameStore() { abandonPass(); }

bool MemoryFrameStore::add(int32_t marker, std::unique_ptr<velimage::PostWeightedImage> frame)
{
    if (!frame || frame->channels() != 4 || frame->width() != m_width || frame->height() != m_height ||
        frame->empty())
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.emplace_back(marker, std::move(frame));
    return true;
}

size_t MemoryFrameStore::frameCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames.size();
}

bool MemoryFrameStore::beginReadBack(int32_t jobs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_frames.empty() || m_height <= 0)
        return false;
    // A few bands per job balance uneven rows without making the hand-out lock hot.
    m_bandRows = std::max<int32_t>(1, m_height / (jobs * 4));
    m_nextRow = 0;
    return true;
}

bool MemoryFrameStore::takeBand(StoredBand& band)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_running || m_nextRow >= m_height)
        return false;
    band.firstRow = m_nextRow;
    band.rows = std::min(m_bandRows, m_height - m_nextRow);
    m_nextRow += band.rows;
    band.markers.clear();
    band.pixels.clear();
    band.buffers.clear();
    for (const auto& [marker, frame] : m_frames) {
        band.markers.push_back(marker);
        band.pixels.push_back(frame->row(band.firstRow));
    }
    return true;
}

void MemoryFrameStore::returnBand(StoredBand& band)
{
    band.markers.clear();
    band.pixels.clear();
}

}  // namespace velthread
