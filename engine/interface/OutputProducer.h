#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FrameList.h"
#include "IntegrationStorage.h"
#include "Stages.h"
#include "Velostar.h"

class VelostarImpl;

namespace velrun {

// Produces one output image: walks the frames (load, calibrate, analyse, compose), integrates,
// post-processes and writes the file, reporting every stage. Runs on the pipeline's thread.
class OutputProducer {
public:
    OutputProducer(VelostarImpl& engine, RunStages& stages, RunContext& context);

    // Result code of this output: 1 written, 2 writing failed, 3 too few stars on the reference,
    // 7 reference unreadable (4 is decided by the caller from the cancel flag). "last" stops the
    // loader's prefetching after the walk. The engine's temporary files are deleted on return.
    int produce(const std::vector<FrameEntry>& frames, const std::wstring& outputPath, bool last);

    // Loads through the background loader with the opening and closing load reports.
    std::unique_ptr<velimage::Image16> loadWithProgress(const wchar_t* path);

    // What every star frame of a walk over `frameCount` frames goes through (once the calibration
    // images are built), for the row work of the loader.
    CalibrationSteps calibrationSteps(size_t frameCount) const;

private:
    void resetForOutput();
    // The frame's pixels and the row work of their decode; reports as loadWithProgress.
    void load(const wchar_t* path, Frame& frame);
    int walk(const std::vector<FrameEntry>& frames);
    // Steps a frame that cannot be loaded would have taken.
    int32_t skippedFrameSteps() const;
    void readMetadata(Frame& frame);
    void prepareRegions(const velimage::Image16& image);
    void calibrate(Frame& frame);
    void unifyExposure(Frame& frame);
    // Analysis (stage 26/27); returns 3 when the reference has too few stars, else 1.
    int analyze(Frame& frame, VelostarFrameReport& report);
    bool startReference(Frame& frame, size_t frameCount);
    bool composeFrame(Frame& frame);
    // The estimate-only walk: the reference's analysis is kept, the others are registered against
    // it without being composed.
    void keepReference(Frame& frame);
    bool alignOnly(Frame& frame);
    // Stage 58/59: the sky mask from the walk's frames, handed to the engine for the host.
    void estimateSkyMask();
    void rememberPattern(Frame& frame);
    std::wstring alignedPath(const std::wstring& framePath);

    // After the walk.
    int finish(const std::wstring& outputPath);
    // False when the integration (or the normalising that ends it) could not be done.
    bool integrate();
    // The stage that composes frames in the configured mode exists.
    bool canCompose() const;
    bool runPass(velthread::FrameStore& store, int32_t startSteps);
    void postProcess();
    int writeOutput(const std::wstring& outputPath);
    bool cancelled() const;

    VelostarImpl& m_engine;
    RunStages& m_stages;
    RunContext& m_ctx;
    IntegrationStorage m_storage;
    std::wstring m_outputPath;
    std::unique_ptr<FrameAnalysis> m_referenceAnalysis;
    std::unique_ptr<FrameAnalysis> m_previousAnalysis;
    int32_t m_detectionLevel = 0;  // detection attempt the reference settled on
    int64_t m_tickBudget = 0;
    bool m_trailsSoftMaskMade = false;
    int32_t m_referenceWidth = 0;
    int32_t m_referenceHeight = 0;
};

}  // namespace velrun
