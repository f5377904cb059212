#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "parallel/FrameStore.h"
#include "parallel/MemoryStatus.h"

namespace velthread {

// Reads the temporary files of a two-pass integration back band by band on one reader thread
// of its own, as far ahead as physical memory allows, for the pass jobs. Each file is a raw
// dump of a four-channel 16-bit frame of the base size. A file that cannot be opened is left
// out; one that ends early lacks the bands past its end.
class InFileProcess final : public FrameStore {
public:
    static constexpr uint64_t reserveBytes = 1073741824ull;   // left to the rest of the system
    static constexpr uint64_t bandBudgetBytes = 104857600ull;  // all files of one band

    InFileProcess(std::vector<std::pair<int32_t, std::wstring>> files, int32_t width, int32_t height,
                  int32_t poolThreads, MemoryQuery memory = availablePhysicalMemory,
                  int32_t retryPauseMs = 1000);
    ~InFileProcess() override;

    size_t frameCount() const override { return m_files.size(); }
    size_t openFileCount() const { return m_open.size(); }
    int32_t bandRows() const { return m_bandRows; }

    bool takeBand(StoredBand& band) override;
    void returnBand(StoredBand& band) override;

protected:
    bool beginReadBack(int32_t jobs) override;
    void endReadBack() override;
    void wakeAllLocked() override;

private:
    struct OpenFile {
        int32_t marker;
        int descriptor;
    };

    bool openFiles();
    void planBands();
    void readerLoop();
    bool readerMustWaitLocked() const;
    std::unique_ptr<uint16_t[]> takeBuffer();
    void closeFiles();

    std::vector<std::pair<int32_t, std::wstring>> m_files;
    int32_t m_poolThreads;
    MemoryQuery m_memory;
    int32_t m_retryPauseMs;

    std::vector<OpenFile> m_open;
    int32_t m_bandRows = 2;
    int32_t m_nextBandRow = 0;  // first row of the next band to read
    std::deque<StoredBand> m_ready;
    std::vector<std::unique_ptr<uint16_t[]>> m_freeBuffers;
    std::thread m_reader;
    bool m_readerActive = false;
    bool m_readerStop = false;
    std::condition_variable m_bandReady;      // jobs: a band was read, or the reader ended
    std::condition_variable m_readerMayGo;    // reader: a band was taken, or stop
};

}  // namespace velthread
