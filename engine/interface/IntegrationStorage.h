#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Stages.h"
#include "parallel/FrameStore.h"
#include "parallel/MemoryFrameStore.h"

class VelostarImpl;

namespace velrun {

// Where the frames of one output's two-pass integration go: an in-memory store when they fit,
// else ".tmp" files written by the background saver and read back by an InFileProcess. The
// active store is reachable by cancel() through the engine lock for as long as it exists.
class IntegrationStorage {
public:
    static constexpr uint64_t reserveBytes = 1073741824ull;

    explicit IntegrationStorage(VelostarImpl& engine);
    ~IntegrationStorage();
    IntegrationStorage(const IntegrationStorage&) = delete;
    IntegrationStorage& operator=(const IntegrationStorage&) = delete;

    // Frames of width × height kept in memory when (W·H + (W·H + 524288)·n)·8 + 1 GiB bytes
    // are available; `frameCount` already doubled for freeze ground.
    static bool fitsInMemory(uint64_t available, int32_t width, int32_t height, uint64_t frameCount);

    // Chooses memory or files for this output and, for memory, makes a fresh store.
    void begin(int32_t width, int32_t height, uint64_t frameCount, const std::wstring& outputPath);
    bool inMemory() const { return m_inMemory; }
    // Hands a packed frame over; false when it was dropped (wrong size, or cancelled).
    bool store(StoredFrame frame);
    // Waits for the saver to write every file (file-backed only); false when cancelled or when a
    // file of this output could not be written.
    bool drain();
    // The store for the pass: the in-memory one, or a new reader over the engine's ".tmp" files.
    velthread::FrameStore* openForPass(int32_t poolThreads, int32_t retryPauseMs = 1000);
    // Deletes the store or reader (under the engine lock).
    void close();

private:
    void replace(std::unique_ptr<velthread::FrameStore> store);

    VelostarImpl& m_engine;
    std::wstring m_outputPath;
    int32_t m_width = 0;
    int32_t m_height = 0;
    bool m_inMemory = true;
    int32_t m_failedWritesBefore = 0;
    std::unique_ptr<velthread::FrameStore> m_store;
};

// The base image packed for the store: RGB plus flag word 3 (covered and sky) at every pixel.
std::unique_ptr<velimage::PostWeightedImage> packUnwarped(const velimage::Image16& frame);

}  // namespace velrun
