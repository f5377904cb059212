#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "EngineSettings.h"
#include "image/ImageTypes.h"
#include "image/Metadata.h"
#include "image/RowSink.h"
#include "skymask/SkyMaskEstimate.h"

namespace velthread {
class FrameStore;
}

class VelostarImpl;

namespace velrun {

// What registration keeps about one frame. The registration stages derive their own record
// from it (star list, pattern, transform); the pipeline reads only these fields for its
// progress details and the per-frame report.
struct FrameAnalysis {
    virtual ~FrameAnalysis() = default;
    int32_t stars = 0;         // stars detected
    int32_t patternStars = 0;  // stars in the frame's pattern
    int32_t pairs = 0;         // star pairs matched against the reference
    bool aligned = false;      // `transform` holds the frame-to-reference mapping
    double transform[6] = {1, 0, 0, 0, 1, 0};
    const char* reason = nullptr;  // why alignment failed, in plain words (static text)
};

// One frame while it is processed. Stages may replace or release `image`.
struct Frame {
    std::wstring path;
    bool reference = false;
    std::unique_ptr<velimage::Image16> image;
    std::unique_ptr<FrameAnalysis> analysis;
    double exposure = -1.0;  // exposure measure, −1 until computed
    // The row work that saw the pixels while they were decoded (null: none); the stages skip what
    // it did.
    std::unique_ptr<velimage::RowSink> decodedRows;
};

// The calibration steps of a run, in the order they meet every star frame, and whether its frames
// are analysed for stars and sampled for the sky-mask estimate afterwards.
struct CalibrationSteps {
    bool noise = false;
    bool hotPixels = false;
    bool flatField = false;
    bool analysis = false;
    // The frames whose reduced copies the sky-mask estimate keeps, the base frame (with its finer
    // one) first.
    std::vector<std::wstring> skyFrames;
};

// Makes the row work of the decode of the frame at `path`.
using RowWorkMaker = std::function<std::unique_ptr<velimage::RowSink>(const std::wstring& path)>;

// A packed four-channel frame for the two-pass integration store, with its marker
// (3 base image, 2 star-aligned frame, 1 unaligned copy).
struct StoredFrame {
    int32_t marker = 2;
    std::unique_ptr<velimage::PostWeightedImage> image;
};

// Everything the stages of one run share. Owned by the pipeline; stages run on the pipeline's
// thread (they may split their pixel work on velthread::processPool()).
struct RunContext {
    RunContext(VelostarImpl& owner, EngineSettings& runSettings) : engine(owner), settings(runSettings) {}

    VelostarImpl& engine;
    EngineSettings& settings;
    int32_t poolThreads = 1;
    bool rawInput = false;
    int32_t rotation = 0;  // 0..3 from the reference's orientation (RAW input only)

    // Sky mask of the current reference's size: full mask (0 ground .. 65535 sky) and the soft
    // sky mask; filled by the prepareSkyMask stage.
    std::unique_ptr<velimage::Image16> mask;
    std::unique_ptr<velimage::Image16> softMask;
    bool maskEstimated = false;  // `mask` came from the frames (one value per pixel, no painted bitmap)
    // The finer soft sky mask (q = 20) that weighs star-light enhancement and light-pollution
    // reduction: made from `mask` by the first finishing stage that needs it, at the accumulation
    // image's size, and kept for the rest of the run (see finishingSoftMask()).
    std::unique_ptr<velimage::Image16> finishingSoftMask;
    // Regions in pixels of the current reference (x0, y0, dx, dy); all zero when not set.
    int32_t starBound[4] = {0, 0, 0, 0};
    int32_t gradient[4] = {0, 0, 0, 0};
    int32_t gradientExtent = 0;
    bool gradientActive() const { return (gradient[2] != 0 || gradient[3] != 0) && gradientExtent > 0; }
    bool starBoundActive() const { return starBound[2] != 0 || starBound[3] != 0; }

    // Calibration images exist (their stages keep the pixels).
    bool noiseReady = false;
    bool vignettingReady = false;

    // Per output.
    velimage::AccumulationImage accumulation;
    std::unique_ptr<velimage::Image16> reference;   // kept for freeze ground and the motion effect
    const FrameAnalysis* referenceAnalysis = nullptr;
    FrameAnalysis* previousAnalysis = nullptr;  // complex distortion: the last frame's pattern
    int32_t composed = 0;
    bool workingScale = false;        // samples are in the 256-times scale
    bool preparationPassDone = false; // the accumulation image's preparation pass ran
    int32_t exposureCount = 1;        // frames per output pixel, times 4 after merging pixels
    velimage::MetadataList metadata;  // from the reference; written into the output
    float totalExposure = 0.0f;
    double referenceExposure = -1.0;  // exposure measure of the reference, −1 until taken
};

// The stage algorithms that live in other subsystems, called from their places in the run.
// Every member may be left empty: an empty stage is skipped and reported as not done (or, for
// the post-processing steps, not run at all); the run never claims work it did not do. Build
// one with defaultRunStages() and replace members to wire in further subsystems.
struct RunStages {
    // Calibration images. add*Frame returns false when the frame was rejected (channels, size);
    // analyze* returns true when the calibration image exists afterwards.
    std::function<bool(RunContext&, const velimage::Image16&)> addNoiseFrame;
    std::function<bool(RunContext&)> analyzeNoise;
    std::function<bool(RunContext&, Frame&)> subtractNoise;  // false: frame not corrected
    std::function<bool(RunContext&, const velimage::Image16&)> addVignettingFrame;
    std::function<bool(RunContext&)> analyzeVignetting;
    // Flat field of one frame; false when the vignetting image fits neither orientation.
    std::function<bool(RunContext&, Frame&)> correctVignetting;
    // Flat field of the composed trails result.
    std::function<bool(RunContext&)> correctResultVignetting;
    std::function<void(RunContext&, Frame&)> removeHotPixels;
    // The steps done while frames are decoded: row work for the loader that does as many of `steps`
    // (and the detection luminance) as it can on each star frame's rows as they arrive. The stages
    // above then leave out what it did. Empty: every step runs as a stage.
    std::function<RowWorkMaker(RunContext&, const CalibrationSteps& steps)> decodeCalibration;
    // Exposure unification: measures the frame (frame.exposure) and brings a later frame to the
    // reference's exposure, the reference measured on first use (from its pixels while they are
    // kept, else from ctx.accumulation). The reference only gives its measure. False when the frame
    // could not be brought there.
    std::function<bool(RunContext&, Frame&)> unifyExposure;
    // Measures the reference while its pixels are here (ctx.referenceExposure), for a run that may
    // switch exposure unification on at a later frame.
    std::function<void(RunContext&, const velimage::Image16& reference)> measureReferenceExposure;

    // Sky mask scaled and rotated to width × height (into ctx.mask) and its soft sky mask
    // (ctx.softMask) with the given q and number of final 3 × 3 passes.
    std::function<bool(RunContext&, int32_t width, int32_t height, int32_t q, int32_t passes)> prepareSkyMask;

    // Sky mask from the frames. keepSkySample keeps a reduced copy of a loaded, calibrated frame
    // (the reference starts a new series); keepSkyAlignment records its transform once the frame
    // was registered; estimateSkyMask turns the series into the estimate for a mask of width ×
    // height and returns the closing detail of its stage (1 estimated, 2 failed, 5 no star seen
    // moving). Only with an estimate does it fill ctx.mask and ctx.softMask (q = 60); `estimate`
    // receives it either way, undrawn (velmask::drawSkyMask draws it).
    std::function<void(RunContext&, const Frame&)> keepSkySample;
    std::function<void(RunContext&, const Frame&)> keepSkyAlignment;
    std::function<int32_t(RunContext&, int32_t width, int32_t height, velmask::SkyLabels& estimate)> estimateSkyMask;

    // Registration. analyzeFrame detects stars (attempt 0..2: the reference tries them in turn,
    // later frames use the one the reference settled on) and builds the frame's pattern;
    // for the reference it also gives the pattern's stars new identities. It searches inside
    // ctx.mask when that has the frame's size, else inside ctx.starBound when starBoundActive(),
    // else the whole frame. Null when it failed.
    std::function<std::unique_ptr<FrameAnalysis>(RunContext&, Frame&, int32_t attempt)> analyzeFrame;
    // Complex distortion: matches the frame's pattern against the previous frame's, so that its
    // stars inherit their identities.
    std::function<bool(RunContext&, Frame&, FrameAnalysis& previous)> inheritIdentities;
    // Matches the frame against the reference and fits the transform into frame.analysis.
    std::function<bool(RunContext&, Frame&)> alignFrame;

    // Puts the reference into ctx.accumulation with weight 1; empty: the pipeline copies it.
    std::function<void(RunContext&, const velimage::Image16&)> startAccumulation;
    // Composition by mode (frames of the reference's size).
    std::function<bool(RunContext&, Frame&)> accumulateFrame;  // warp and add (gradient-weighted)
    // Warps (non-reference frames) and writes the aligned frame to `path`.
    std::function<bool(RunContext&, Frame&, const std::wstring& path)> writeAlignedFrame;
    // Warped four-channel entries for the integration store (freeze ground adds an unaligned copy).
    std::function<std::vector<StoredFrame>(RunContext&, Frame&)> packForStore;
    std::function<bool(RunContext&, Frame&)> composeTrails;

    // Two-pass integration. prepareIntegration runs on the pipeline's thread before the pass
    // (working scale of the base already in ctx.accumulation); integrationPassJob runs on every
    // pass job at once: take bands from the store until none is left, write the rows of
    // ctx.accumulation, add finished rows, hand each band back. The pass jobs occupy every pool
    // thread, so the job must not submit pool work of its own.
    std::function<bool(RunContext&)> prepareIntegration;
    std::function<void(RunContext&, velthread::FrameStore&)> integrationPassJob;
    std::function<void(RunContext&)> finishFreezeGround;  // rebuilds the 3-channel result
    std::function<void(RunContext&)> normalize;

    // Post-processing, in the order they run.
    std::function<void(RunContext&)> mergePixels;
    std::function<void(RunContext&)> enhanceStars;
    std::function<void(RunContext&, int32_t mode)> adjustBrightness;  // 1 automatic, 0 reduce
    std::function<void(RunContext&)> adjustDynamicRange;
    std::function<void(RunContext&)> preparationPass;     // once per output, before counting
    std::function<int64_t(RunContext&)> countOverExposed;
    std::function<void(RunContext&)> reducePollution;
    // Gamma and colour-space conversion of the accumulation image in place, with ctx.metadata.
    std::function<bool(RunContext&)> toneConvert;
    // Writes the accumulation image with ctx.metadata; false when it failed.
    std::function<bool(RunContext&, const std::wstring& path)> writeOutput;
};

// The stages available in this build. Wire new subsystems in here.
RunStages defaultRunStages();

}  // namespace velrun
