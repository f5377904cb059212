#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EngineSettings.h"
#include "Stages.h"
#include "StepPlan.h"
#include "Velostar.h"
#include "parallel/BackgroundLoader.h"
#include "parallel/BackgroundSaver.h"
#include "parallel/MemoryStatus.h"
#include "image/Image.h"

// The engine object behind the exported interface. Configuration and run() happen on one host
// thread; cancel() may be called from any thread while run() executes.
class VelostarImpl final : public Velostar {
public:
    VelostarImpl();
    ~VelostarImpl() override;

    void setBaseImage(const wchar_t* path) override;
    void addStarImage(const wchar_t* path) override;
    void addNoiseImage(const wchar_t* path) override;
    void addVignettingImage(const wchar_t* path) override;
    void setOutputFile(const wchar_t* path) override;
    void setUnifyExposure(bool on) override { m_settings.unifyExposure = on; }
    void setHomogenizeVignetting(bool on) override { m_settings.homogenizeVignetting = on; }
    void setCompositionMode(int mode) override { m_settings.compositionMode = mode; }
    void setIntegrationMode(int mode) override { m_settings.integrationMode = mode; }
    void setColorSpace(int colorSpace) override { m_settings.colorSpace = colorSpace; }
    void setTrailsMotionEffect(bool on) override { m_settings.trailsMotionEffect = on; }
    void setAutoBrightness(bool on) override { m_settings.autoBrightness = on; }
    void setHDR(bool on) override { m_settings.hdr = on; }
    void setRemoveHotPixels(bool on) override { m_settings.removeHotPixels = on; }
    void setFreezeGroundSelective(bool on) override { m_settings.freezeGroundSelective = on; }
    void setDumpAsLinear(bool on) override { m_settings.dumpAsLinear = on; }
    void clearReducePollution() override { m_settings.reducePollutionKind = 0; }
    void setReducePollution(int kind, int strength) override;
    void setAggressiveSuppression(bool on) override { m_settings.aggressiveSuppression = on; }
    void setMergePixels(bool on) override { m_settings.mergePixels = on; }
    void setTimeLapseFrames(unsigned int frames) override { m_settings.timeLapseFrames = frames; }
    void setEnhanceStars(float factor) override { m_settings.enhanceStarsFactor = factor; }
    void setDistortionCorrection(int mode) override { m_settings.distortionCorrection = mode; }
    void setSigma(float sigma) override;
    void setStarBound(float x0, float y0, float x1, float y1) override;
    void setGradientRegion(float x0, float y0, float x1, float y1, float extent) override;
    void setMask(const uint8_t* rgb, int width, int height) override;
    int getTotalSteps() override;
    void setProgressCallback(void* user, VelostarProgressCallback callback) override;
    int run() override;
    void cancel() override;
    int getFrameReportCount() override;
    bool getFrameReport(int index, VelostarFrameReport* report) override;
    void setAutoSkyMask(bool on) override { m_settings.autoSkyMask = on; }
    int estimateSkyMask() override;
    int getSkyMask(const uint16_t** pixels, int* width, int* height) override;

    // --- used by the run pipeline (same thread as run) ---
    EngineSettings& settings() { return m_settings; }
    const StepPlan& stepPlan() const { return m_plan; }
    bool cancelled() const { return m_cancelled.load(std::memory_order_acquire); }

    // The one progress routine: adds `increment` to steps done (clamped to the total) and calls
    // the callback. Without a callback nothing happens, and steps done does not move either.
    void report(int32_t stage, const wchar_t* path, int32_t detail, int32_t increment);
    // Stage-0 tick while waiting for long work: steps done becomes start + budget × share / 1024
    // (share in 1/1024 units), clamped; a tick is sent only when that value changed.
    void reportShare(int32_t startSteps, int64_t budget, int32_t share1024);
    // Stage-0 report that advances steps done by `steps` (skipped frames).
    void advance(int32_t steps) { report(0, nullptr, 9, steps); }
    int32_t stepsDone() const { return m_stepsDone; }
    int32_t totalSteps() const { return m_totalSteps; }

    // Temporary files of the run; every one is deleted at the end of an output and in the destructor.
    // `kind` is the integration marker of a frame file (0 for other files).
    struct TemporaryFile {
        int32_t kind = 0;
        std::wstring path;
    };
    uint32_t& fileCounter() { return m_fileCounter; }
    void addTemporaryFile(const std::wstring& path, int32_t kind = 0);
    void deleteTemporaryFiles() noexcept;
    void finishRun() noexcept;
    const std::vector<TemporaryFile>& temporaryFiles() const { return m_temporaryFiles; }

    // Background workers of this engine object; cancel() reaches both.
    velthread::BackgroundLoader& loader() { return *m_loader; }
    velthread::BackgroundSaver& saver() { return m_saver; }
    // Test and integration hooks, set before run(): the frame decoder, the memory-status query
    // (the loader's guard, the in-memory/file choice and the read-back's band plan) and the stages.
    void setFrameDecoder(velthread::FrameDecoder decoder);
    void setMemoryQuery(velthread::MemoryQuery query);
    const velthread::MemoryQuery& memoryQuery() const { return m_memoryQuery; }
    void setStageFactory(std::function<velrun::RunStages()> factory) { m_stageFactory = std::move(factory); }
    velrun::RunStages makeStages() const { return m_stageFactory ? m_stageFactory() : velrun::defaultRunStages(); }
    bool planComputed() const { return m_planComputed; }

    // Guards creating and deleting the objects that cancel() must reach (integration stores).
    std::mutex& engineLock() { return m_engineLock; }
    // Registered by the pipeline for the duration of a stage: cancel() calls it under the engine lock.
    void setCancelHook(std::function<void()> hook);

    std::vector<VelostarFrameReport>& frameReports() { return m_frameReports; }
    // The sky mask of this run for the host (getSkyMask): a copy of `mask` (stored orientation of
    // the reference, turned by `rotation`) and its VelostarSkyMask kind.
    void keepSkyMask(const velimage::Image16& mask, int32_t rotation, int kind);
    // The same for a mask the caller no longer needs: unturned, it becomes the kept one as it is.
    void keepSkyMask(velimage::Image16&& mask, int32_t rotation, int kind);
    // The same for an estimate of a width × height mask, drawn only once the mask is asked for.
    void keepSkyEstimate(velmask::SkyLabels&& estimate, int32_t width, int32_t height, int32_t rotation, int kind);
    const wchar_t* ownPath(const wchar_t* path);

private:
    EngineSettings m_settings;
    std::vector<std::unique_ptr<wchar_t[]>> m_ownedPaths;
    StepPlan m_plan;

    void* m_callbackUser = nullptr;
    VelostarProgressCallback m_callback = nullptr;
    int32_t m_stepsDone = 0;
    int32_t m_totalSteps = 0;

    std::atomic<bool> m_cancelled{false};
    std::mutex m_engineLock;
    std::function<void()> m_cancelHook;

    uint32_t m_fileCounter = 0;
    std::vector<TemporaryFile> m_temporaryFiles;
    bool m_planComputed = false;

    velthread::MemoryQuery m_memoryQuery = velthread::availablePhysicalMemory;
    std::function<velrun::RunStages()> m_stageFactory;
    velthread::BackgroundSaver m_saver;
    std::unique_ptr<velthread::BackgroundLoader> m_loader;
    std::vector<VelostarFrameReport> m_frameReports;
    velimage::Image16 m_skyMask;
    int m_skyMaskKind = VELOSTAR_MASK_NONE;
    // An estimate not drawn into m_skyMask yet, the size and turn to draw it at.
    struct UndrawnEstimate {
        velmask::SkyLabels labels;
        int32_t width = 0;
        int32_t height = 0;
        int32_t rotation = 0;
    };
    std::unique_ptr<UndrawnEstimate> m_undrawnEstimate;
    // m_skyMask, the kept estimate drawn first; throws std::bad_alloc.
    const velimage::Image16& skyMask();
    void forgetSkyMask();
    // A trails run's estimate as the painted bitmap it then stands in for.
    std::vector<uint8_t> m_estimatedRgb;

    // run() and estimateSkyMask() after their checks; exceptions escape to the caller.
    int runChecked();
    template <typename Body>
    int guardedRun(Body&& body);
    // `ownPlan`: the estimate's steps are the whole progress budget (else the caller's run counted them).
    int estimateChecked(bool ownPlan);
};

// The processing of one run, after the checks for an empty star list and a missing output.
// Returns a result code; exceptions escape to run(), which maps them.
int runPipeline(VelostarImpl& engine);
