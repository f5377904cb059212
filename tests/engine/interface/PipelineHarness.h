#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Stages.h"
#include "VelostarImpl.h"
#include "parallel/FrameStore.h"
#include "support/ProgressLog.h"

namespace veltest {

// Frames decoded from names alone: "bad" anywhere in the name makes the file unreadable;
// every other frame is 6 × 4 × 3 with ExposureTime 2 s.
velthread::FrameDecoder fakeDecoder();

// Stages that do their bookkeeping only: every frame has 20 stars, aligns and composes.
struct FakeStages {
    std::vector<std::wstring> written;     // output paths, in order
    std::vector<std::wstring> references;  // reference frame of each output
    std::vector<float> exposures;          // ExposureTime written with each output
    std::vector<std::string> software;
    bool writeSucceeds = true;
    velrun::RunStages stages();
};

// One engine over fake frames and the fake stages; `adjust` changes the stages of a run.
struct Session {
    VelostarImpl engine;
    ProgressLog log;
    FakeStages fake;
    std::function<void(velrun::RunStages&)> adjust;

    // No output when `output` is empty.
    Session(const std::vector<std::wstring>& stars, const std::wstring& output)
    {
        engine.setFrameDecoder(fakeDecoder());
        engine.setStageFactory([this] {
            velrun::RunStages stages = fake.stages();
            if (adjust)
                adjust(stages);
            return stages;
        });
        for (const auto& star : stars)
            engine.addStarImage(star.c_str());
        if (!output.empty())
            engine.setOutputFile(output.c_str());
    }
    // Runs with the progress callback set, as a host would.
    int go()
    {
        engine.getTotalSteps();
        engine.setProgressCallback(&log, ProgressLog::callback);
        return engine.run();
    }
};

// Two-pass stages: every frame is packed as its own pattern; the pass checks what it reads back.
struct TwoPass {
    std::atomic<int64_t> rowsChecked{0};
    std::atomic<bool> mismatch{false};
    std::mutex mutex;
    std::vector<int32_t> markers;

    static uint16_t aligned(int32_t x, int32_t y, int32_t c) { return static_cast<uint16_t>(7000 + (y * 6 + x) * 4 + c); }

    void wire(velrun::RunStages& s)
    {
        s.finishFreezeGround = [](velrun::RunContext&) {};
        s.packForStore = [](velrun::RunContext&, velrun::Frame&) {
            std::vector<velrun::StoredFrame> frames(1);
            frames[0].marker = 2;
            frames[0].image = std::make_unique<velimage::PostWeightedImage>();
            frames[0].image->allocate(6, 4, 4);
            for (int32_t y = 0; y < 4; ++y)
                for (int32_t i = 0; i < 24; ++i)
                    frames[0].image->row(y)[i] = aligned(i / 4, y, i % 4);
            return frames;
        };
        s.integrationPassJob = [this](velrun::RunContext&, velthread::FrameStore& store) {
            velthread::StoredBand band;
            while (store.takeBand(band)) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (markers.empty())
                        markers = band.markers;
                }
                for (size_t e = 0; e < band.pixels.size(); ++e)
                    for (int32_t r = 0; r < band.rows; ++r)
                        for (int32_t i = 0; i < 24; ++i) {
                            const int32_t y = band.firstRow + r, x = i / 4, c = i % 4;
                            const uint16_t want = band.markers[e] == 3
                                                      ? static_cast<uint16_t>(c == 3 ? 3 : 100 + (y * 6 + x) * 3 + c)
                                                      : aligned(x, y, c);
                            if (band.pixels[e][r * 24 + i] != want)
                                mismatch = true;
                        }
                rowsChecked += band.rows;
                store.addFinishedRows(band.rows);
                store.returnBand(band);
            }
        };
    }
};

// "/night/f0.tif" ... for `count` frames.
inline std::vector<std::wstring> nightFrames(int count)
{
    std::vector<std::wstring> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(L"/night/f" + std::to_wstring(i) + L".tif");
    return frames;
}

}  // namespace veltest
