#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "Stages.h"
#include "VelostarImpl.h"

namespace veltest {

// (stage, detail, steps done) of one progress record.
using Step = std::tuple<int32_t, int32_t, int32_t>;

// Collects progress records; `onRecord` may act on one (cancel, for example).
struct ProgressLog {
    std::mutex mutex;
    std::vector<Step> steps;
    std::vector<std::wstring> paths;
    std::function<void(const ProgressRecord&)> onRecord;

    static void callback(void* user, const ProgressRecord* record)
    {
        auto* log = static_cast<ProgressLog*>(user);
        {
            std::lock_guard<std::mutex> lock(log->mutex);
            log->steps.emplace_back(record->stage, record->detail, record->stepsDone);
            log->paths.emplace_back(record->path ? record->path : L"");
        }
        if (log->onRecord)
            log->onRecord(*record);
    }
    bool contains(int32_t stage, int32_t detail)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Step& s : steps)
            if (std::get<0>(s) == stage && std::get<1>(s) == detail)
                return true;
        return false;
    }
};

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
    Session(const std::vector<std::wstring>& stars, const std::wstring& output);
    // Runs with the progress callback set, as a host would.
    int go();
};

// "/night/f0.tif" ... for `count` frames.
std::vector<std::wstring> nightFrames(int count);

}  // namespace veltest
