#include <algorithm>

#include "FrameList.h"
#include "OutputProducer.h"
#include "SkyEstimateStages.h"
#include "Stages.h"
#include "TimeLapse.h"
#include "VelostarImpl.h"
#include "image/ImageFiles.h"
#include "parallel/ProcessPool.h"
#include "parallel/WidePath.h"

namespace velrun {

namespace {

enum Stage : int32_t { Load = 1, NoiseImage = 4, NoiseAnalysis = 6, VignettingImage = 8, VignettingAnalysis = 10 };
enum Detail : int32_t { Start = 0, Done = 1, Failed = 2 };

// Inputs other than JPEG and TIFF go to the RAW reader.
bool isRawInput(const wchar_t* path)
{
    return !velpath::endsWithNoCase(path, L".jpg") && !velpath::endsWithNoCase(path, L".tif") &&
           !velpath::endsWithNoCase(path, L".tiff");
}

std::vector<std::wstring> toStrings(const std::vector<const wchar_t*>& paths)
{
    return std::vector<std::wstring>(paths.begin(), paths.end());
}

// Builds one calibration image: stage `open`, each file loaded and added, the analysis
// (`open` + 2 / + 3, closing increment `analysisIncrement`), and the closing `open` + 1.
// Without the stage's algorithm the build is reported as failed and skipped.
bool buildCalibration(VelostarImpl& engine, RunContext& ctx,
                      const std::vector<const wchar_t*>& files, int32_t open,
                      const std::function<bool(RunContext&, const velimage::Image16&)>& add,
                      const std::function<bool(RunContext&)>& analyze, int32_t analysisIncrement)
{
    engine.report(open, nullptr, Start, 0);
    if (!add || !analyze) {
        engine.report(open + 1, nullptr, Failed, 0);
        return false;
    }
    int32_t added = 0;
    for (const wchar_t* path : files) {
        if (engine.cancelled())
            break;
        // A frame that does not fit the calibration image (size, channels) fails its load report
        // like an unreadable one: it is not used.
        engine.report(Load, path, Start, 0);
        std::unique_ptr<velimage::Image16> image = engine.loader().claim(path);
        const bool used = image && !image->empty() && add(ctx, *image);
        image.reset();
        engine.report(Load + 1, path, used ? Done : Failed, 1);
        if (used)
            ++added;
    }
    if (engine.cancelled())
        return false;
    engine.report(open + 2, nullptr, Start, 0);
    const bool ready = added > 0 && analyze(ctx);
    engine.report(open + 3, nullptr, ready ? Done : Failed, analysisIncrement);
    engine.report(open + 1, nullptr, ready ? Done : Failed, 0);
    return ready;
}

// Ends the background work of the run however it ends, before the caller deletes temporary files.
struct BackgroundStop {
    VelostarImpl& engine;
    ~BackgroundStop()
    {
        engine.loader().stop();
        engine.saver().shutdown();
    }
};

}  // namespace

}  // namespace velrun

int runPipeline(VelostarImpl& engine)
{
    using namespace velrun;
    EngineSettings& s = engine.settings();

    // The TIFF library's messages are never shown.
    velimage::silenceTiffLibrary();

    velthread::ProcessPoolScope poolScope;
    const int32_t threads = poolScope.pool().threadCount();
    RunStages stages = engine.makeStages();
    RunContext ctx(engine, s);
    ctx.poolThreads = threads;
    ctx.rawInput = isRawInput(s.starImages.front());

    BackgroundStop backgroundStop{engine};
    engine.loader().configure(ctx.rawInput, threads - 1, velimage::loaderColorSetting(s.colorSpace), threads);
    // Two-pass runs keep every frame's entry until the pass: a decoded frame waiting here would only
    // raise the peak and cost fresh pages. A frame's decode takes a fraction of its processing, so
    // one frame ahead per loader thread still keeps the loading hidden.
    if (s.twoPassIntegration())
        engine.loader().holdAtMost(static_cast<size_t>(std::max<int32_t>(1, threads - 1)));
    // Calibration files are only worth reading ahead when their stage can use them.
    if (stages.addNoiseFrame && stages.analyzeNoise)
        engine.loader().prefetch(toStrings(s.noiseImages));
    if (stages.addVignettingFrame && stages.analyzeVignetting)
        engine.loader().prefetch(toStrings(s.vignettingImages));

    const size_t n = s.starImages.size();
    const bool timeLapse = s.timeLapseActive();
    const size_t window = timeLapse ? static_cast<size_t>(s.timeLapseFrames) : n;
    std::vector<const wchar_t*> sorted = s.starImages;
    std::vector<FrameEntry> frames;
    if (timeLapse) {
        sortByFileName(sorted);
        frames = buildFrameList(timeLapseWindow(sorted, 0, window), s.trails(), s.trailsMotionEffect);
    } else {
        s.timeLapseFrames = 0;
        frames = buildFrameList(s.starImages, s.trails(), s.trailsMotionEffect);
    }

    if (s.integrationMode == 2)
        s.distortionCorrection = 2;
    if (s.alignStars() && s.integrationMode == 3 && !s.hdr)
        s.autoBrightness = true;

    // Star frames are calibrated while they decode once the calibration images exist: with any to
    // build, their reading waits for them.
    OutputProducer producer(engine, stages, ctx);
    const auto startStarFrames = [&] {
        if (stages.decodeCalibration) {
            CalibrationSteps steps = producer.calibrationSteps(frames.size());
            // Frames brought to the base's exposure change after they are decoded.
            if (s.estimatesSkyMask() && !s.unifyExposure)
                steps.skyFrames = skySampledFrames(s, frames);
            engine.loader().setRowWork(stages.decodeCalibration(ctx, steps));
        }
        engine.loader().prefetch(framePaths(frames));
    };
    const bool calibrationImages = !s.noiseImages.empty() || !s.vignettingImages.empty();
    if (!calibrationImages)
        startStarFrames();
    if (!s.noiseImages.empty() && !engine.cancelled())
        ctx.noiseReady = buildCalibration(engine, ctx, s.noiseImages, NoiseImage, stages.addNoiseFrame,
                                          stages.analyzeNoise, 0);
    if (!s.vignettingImages.empty() && !engine.cancelled())
        ctx.vignettingReady = buildCalibration(engine, ctx, s.vignettingImages, VignettingImage,
                                               stages.addVignettingFrame, stages.analyzeVignetting, 1);
    if (calibrationImages)
        startStarFrames();

    int result = VELOSTAR_WRITE_FAILED;
    if (!engine.cancelled()) {
        if (timeLapse) {
            int32_t written = 0;
            for (size_t k = 1; k - 1 + window <= n; ++k) {
                const bool last = k - 1 + window == n;
                const std::wstring path = timeLapseOutputPath(s.outputPath, k, n);
                if (producer.produce(frames, path, last) == VELOSTAR_OK)
                    ++written;
                if (engine.cancelled() || last)
                    break;
                frames = buildFrameList(timeLapseWindow(sorted, k, window), s.trails(), s.trailsMotionEffect);
                engine.loader().prefetch(framePaths(frames));
            }
            result = written > 0 ? VELOSTAR_OK : VELOSTAR_WRITE_FAILED;
        } else {
            // The estimate alone may run before the host chose an output.
            result = producer.produce(frames, s.outputPath ? s.outputPath : L"", true);
        }
    }
    return engine.cancelled() ? VELOSTAR_CANCELLED : result;
}
