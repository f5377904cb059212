#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "OptionContext.h"
#include "SkyRegionPreview.h"

class Velostar;

// The one-click fill of the brush mask: the engine estimates the sky from the star images on a
// thread of its own, and the result becomes the painted mask that the user then corrects.
namespace velapp {

using EngineHandle = std::unique_ptr<Velostar, void (*)(Velostar*)>;
using EngineFactory = std::function<EngineHandle()>;

struct MaskEstimateResult {
    int result = 0;  // the engine's result code
    int kind = 0;    // VelostarSkyMask kind
    MaskImage mask;  // white sky on black ground, base image size; empty without an estimate
};

// The settings of an estimate: the run's images and calibration files, no output, no region.
RunSettings maskEstimateSettings(const FileTreeModel& files, const RunSettings& settings);

// Runs one estimate from construction on. `done` is called once, on the job's thread, when it
// ends (also when it was cancelled); it must only hand the result on (to the UI thread).
// Destroying the job cancels a running estimate and waits for its thread. UI thread only.
class MaskEstimateJob {
public:
    using Done = std::function<void(MaskEstimateResult)>;
    MaskEstimateJob(RunSettings settings, EngineFactory factory, Done done);
    ~MaskEstimateJob();
    MaskEstimateJob(const MaskEstimateJob&) = delete;
    MaskEstimateJob& operator=(const MaskEstimateJob&) = delete;

private:
    void work(const RunSettings& settings, const EngineFactory& factory, const Done& done);

    std::mutex m_mutex;  // guards m_engine against the destructor's cancel
    Velostar* m_engine = nullptr;
    bool m_stopping = false;
    std::thread m_thread;
};

// The estimate, back on the UI thread: a mask becomes the brush mask, through the preview when
// one is registered and in `held` in any case, and counts as the user's edit. Otherwise only the
// status text says why nothing changed.
Change applyMaskEstimate(const MaskEstimateResult& result, SkyRegionPreview* preview, MaskImage& held,
                         OptionContext& context);

}  // namespace velapp
