#include "IntegrationStorage.h"

#include <mutex>

#include "VelostarImpl.h"
#include "parallel/InFileProcess.h"
#include "parallel/LargeBuffer.h"
#include "parallel/ProcessPool.h"
#include "parallel/UniqueName.h"

namespace velrun {

IntegrationStorage::IntegrationStorage(VelostarImpl& engine) : m_engine(engine)
{
    // cancel() stops whichever store exists at that moment; creation and deletion take the same lock.
    engine.setCancelHook([this] {
        if (m_store)
            m_store->stop();
    });
}

IntegrationStorage::~IntegrationStorage()
{
    close();
    velmem::setSpareByteLimit(velmem::DefaultSpareByteLimit);
    m_engine.setCancelHook(nullptr);
}

bool IntegrationStorage::fitsInMemory(uint64_t available, int32_t width, int32_t height, uint64_t frameCount)
{
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    const unsigned __int128 need =
        (static_cast<unsigned __int128>(pixels) + static_cast<unsigned __int128>(pixels + 524288u) * frameCount) * 8u +
        reserveBytes;
    return available > need;
}

void IntegrationStorage::replace(std::unique_ptr<velthread::FrameStore> store)
{
    std::unique_ptr<velthread::FrameStore> old;
    {
        std::lock_guard<std::mutex> lock(m_engine.engineLock());
        old = std::move(m_store);
        m_store = std::move(store);
        // A cancel that came before the store existed must still reach it.
        if (m_store && m_engine.cancelled())
            m_store->stop();
    }
    old.reset();  // outside the lock: its destructor may wait for a pass to end
}

void IntegrationStorage::begin(int32_t width, int32_t height, uint64_t frameCount, const std::wstring& outputPath)
{
    m_width = width;
    m_height = height;
    m_outputPath = outputPath;
    // Blocks kept from the last time-lapse window are this window's store: they count as free.
    const uint64_t kept = m_engine.settings().timeLapseActive() ? velmem::spareBytes() : 0;
    m_inMemory = fitsInMemory(m_engine.memoryQuery()() + kept, width, height, frameCount);
    m_failedWritesBefore = m_engine.saver().failedWrites();
    if (!m_inMemory) {
        // Frames go to files because memory is short: released frame buffers are not kept for reuse.
        velmem::setSpareByteLimit(0);
    } else if (m_engine.settings().timeLapseActive()) {
        // The next window stores as many entries of this size: its blocks wait for it, where fresh
        // ones would have to be faulted in again (slow where freed memory goes back to the host).
        const uint64_t entryBytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 8u + (2u << 20);
        velmem::keepSpareBlocksFor(static_cast<size_t>(frameCount), static_cast<size_t>(frameCount * entryBytes));
    } else {
        velmem::setSpareByteLimit(velmem::DefaultSpareByteLimit);
    }
    replace(m_inMemory ? std::make_unique<velthread::MemoryFrameStore>(width, height) : nullptr);
}

bool IntegrationStorage::store(StoredFrame frame)
{
    if (!frame.image || frame.image->width() != m_width || frame.image->height() != m_height ||
        frame.image->channels() != 4)
        return false;
    if (m_inMemory) {
        auto* memory = static_cast<velthread::MemoryFrameStore*>(m_store.get());
        return memory && memory->add(frame.marker, std::move(frame.image));
    }
    const std::wstring name = velfile::uniqueName(m_outputPath, L".tmp", m_engine.fileCounter());
    // Listed before it exists, so a cancelled or failed write still gets cleaned up.
    m_engine.addTemporaryFile(name, frame.marker);
    return m_engine.saver().enqueue(name, std::move(frame.image));
}

bool IntegrationStorage::drain()
{
    if (m_inMemory)
        return true;
    return m_engine.saver().waitIdle() && m_engine.saver().failedWrites() == m_failedWritesBefore;
}

velthread::FrameStore* IntegrationStorage::openForPass(int32_t poolThreads, int32_t retryPauseMs)
{
    if (!m_inMemory) {
        std::vector<std::pair<int32_t, std::wstring>> files;
        for (const auto& file : m_engine.temporaryFiles())
            if (file.kind > 0)
                files.emplace_back(file.kind, file.path);
        replace(std::make_unique<velthread::InFileProcess>(std::move(files), m_width, m_height, poolThreads,
                                                           m_engine.memoryQuery(), retryPauseMs));
    }
    return m_store.get();
}

void IntegrationStorage::close() { replace(nullptr); }

std::unique_ptr<velimage::PostWeightedImage> packUnwarped(const velimage::Image16& frame)
{
    auto packed = std::make_unique<velimage::PostWeightedImage>();
    packed->allocate(frame.width(), frame.height(), 4);
    const int32_t width = frame.width();
    const int32_t channels = frame.channels();
    velthread::parallelRows(frame.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* in = frame.row(y);
            uint16_t* out = packed->row(y);
            for (int32_t x = 0; x < width; ++x, in += channels, out += 4) {
                out[0] = in[0];
                out[1] = channels > 1 ? in[1] : in[0];
                out[2] = channels > 2 ? in[2] : in[0];
                out[3] = 3;
            }
        }
    });
    return packed;
}

}  // namespace velrun
