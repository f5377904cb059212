#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "image/ImageTypes.h"
#include "parallel/FrameStore.h"

namespace velthread {

// Two-pass integration frames kept in memory: (marker, four-channel frame of the base size).
// add() comes from the pipeline's thread before the pass.
class MemoryFrameStore final : public FrameStore {
public:
    MemoryFrameStore(int32_t width, int32_t height) : FrameStore(width, height) {}
    ~MemoryFrameStore() override;

    // Takes the frame; false (frame dropped) unless it has four channels and the base size.
    bool add(int32_t marker, std::unique_ptr<velimage::PostWeightedImage> frame);
    size_t frameCount() const override;

    bool takeBand(StoredBand& band) override;
    void returnBand(StoredBand& band) override;

protected:
    bool beginReadBack(int32_t jobs) override;
    void endReadBack() override {}

private:
    std::vector<std::pair<int32_t, std::unique_ptr<velimage::PostWeightedImage>>> m_frames;
    int32_t m_bandRows = 1;
    int32_t m_nextRow = 0;
};

}  // namespace velthread
