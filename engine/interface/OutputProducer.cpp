#include "OutputProducer.h"

#include <algorithm>
#include <utility>

#include "MaskRegions.h"
#include "VelostarImpl.h"
#include "parallel/ProcessPool.h"
#include "parallel/UniqueName.h"
#include "parallel/WidePath.h"

namespace velrun {

namespace {

// Stage codes of the frame walk (opening code; the closing code is one more).
enum Stage : int32_t {
    Tick = 0, Load = 1, Exposure = 12, Analysis = 14, Mask = 16, Noise = 18, HotPixels = 20,
    Vignetting = 22, BaseImage = 24, Analyze = 26, Compose = 28, SkyEstimate = VELOSTAR_STAGE_SKY_ESTIMATE,
};
enum Detail : int32_t { Start = 0, Done = 1, Failed = 2, TooFewStars = 3 };

// The reference's pixels go into the accumulation image with weight 1.
void startFromBase(RunContext& ctx, const velimage::Image16& frame)
{
    velimage::AccumulationImage& acc = ctx.accumulation;
    acc.allocate(frame.width(), frame.height(), frame.channels());
    const size_t rowElements = frame.rowElements();
    const int32_t width = frame.width();
    velthread::parallelRows(frame.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* in = frame.row(y);
            uint32_t* out = acc.row(y);
            for (size_t i = 0; i < rowElements; ++i)
                out[i] = in[i];
            std::fill_n(acc.weightRow(y), width, 1.0f);
        }
    });
    acc.setMaxWeight(1.0f);
    acc.setNormalized(false);
}

}  // namespace

OutputProducer::OutputProducer(VelostarImpl& engine, RunStages& stages, RunContext& context)
    : m_engine(engine), m_stages(stages), m_ctx(context), m_storage(engine),
      m_tickBudget(engine.stepPlan().tickBudget)
{
}

bool OutputProducer::cancelled() const { return m_engine.cancelled(); }

std::unique_ptr<velimage::Image16> OutputProducer::loadWithProgress(const wchar_t* path)
{
    Frame frame;
    load(path, frame);
    return std::move(frame.image);
}

void OutputProducer::load(const wchar_t* path, Frame& frame)
{
    m_engine.report(Load, path, Start, 0);
    velthread::LoadedFrame loaded = m_engine.loader().claimFrame(path);
    if (loaded.image && loaded.image->empty())
        loaded.image.reset();
    frame.image = std::move(loaded.image);
    frame.decodedRows = frame.image ? std::move(loaded.rows) : nullptr;
    m_engine.report(Load + 1, path, frame.image ? Done : Failed, 1);
}

CalibrationSteps OutputProducer::calibrationSteps(size_t frameCount) const
{
    const EngineSettings& s = m_ctx.settings;
    CalibrationSteps steps;
    steps.noise = m_ctx.noiseReady;
    steps.hotPixels = s.removeHotPixels;
    steps.flatField = m_ctx.vignettingReady && s.alignStars();
    // Frames brought to the base's exposure change after their calibration.
    steps.analysis = s.alignStars() && frameCount > 1 && !s.unifyExposure;
    return steps;
}

void OutputProducer::resetForOutput()
{
    m_ctx.accumulation.release();
    m_ctx.reference.reset();
    m_ctx.referenceAnalysis = nullptr;
    m_ctx.previousAnalysis = nullptr;
    m_ctx.composed = 0;
    m_ctx.workingScale = false;
    m_ctx.preparationPassDone = false;
    m_ctx.exposureCount = 1;
    m_ctx.metadata = velimage::MetadataList{};
    m_ctx.totalExposure = 0.0f;
    m_referenceAnalysis.reset();
    m_previousAnalysis.reset();
    m_referenceWidth = m_referenceHeight = 0;
    m_ctx.referenceExposure = -1.0;
    m_detectionLevel = 0;
    m_engine.frameReports().clear();
}

int OutputProducer::produce(const std::vector<FrameEntry>& frames, const std::wstring& outputPath, bool last)
{
    struct Cleanup {
        OutputProducer& producer;
        ~Cleanup()
        {
            producer.m_storage.close();
            // A write still under way must end before its file can be deleted.
            producer.m_engine.saver().shutdown();
            producer.m_engine.deleteTemporaryFiles();
        }
    } cleanup{*this};

    const EngineSettings& s = m_ctx.settings;
    m_outputPath = outputPath;
    resetForOutput();
    m_engine.report(Analysis, nullptr, Start, 0);
    if (frames.size() > 1 && !canCompose()) {
        // Walking the frames would end in the base image alone, passed off as the result.
        if (last)
            m_engine.loader().stop();
        m_engine.report(Analysis + 1, nullptr, Failed, 0);
        return VELOSTAR_WRITE_FAILED;
    }
    const int32_t failedWrites = m_engine.saver().failedWrites();
    int result = walk(frames);
    // A reference with too few stars still gets its estimate: all ground, and the warning says why.
    if (s.estimatesSkyMask() && !cancelled() && (result == VELOSTAR_OK || result == VELOSTAR_TOO_FEW_STARS))
        estimateSkyMask();
    if (s.estimateOnly) {
        if (last)
            m_engine.loader().stop();
        m_engine.report(Analysis + 1, nullptr, result == VELOSTAR_OK ? Done : Failed, 0);
        return result;
    }
    if (result == VELOSTAR_OK && !cancelled() && s.alignStars() && s.integrationMode == 3) {
        // The aligned frames are the result: they must be on disk, every one, before it counts.
        if (!m_engine.saver().waitIdle() || m_engine.saver().failedWrites() != failedWrites)
            result = cancelled() ? VELOSTAR_OK : VELOSTAR_WRITE_FAILED;
    }
    if (last)
        m_engine.loader().stop();
    m_engine.report(Analysis + 1, nullptr, Done, 0);
    if (result == VELOSTAR_OK && !cancelled())
        result = finish(outputPath);
    return result;
}

bool OutputProducer::canCompose() const
{
    const EngineSettings& s = m_ctx.settings;
    if (s.trails())
        return static_cast<bool>(m_stages.composeTrails);
    if (!s.alignStars())
        return false;
    if (s.integrationMode == 3)
        return static_cast<bool>(m_stages.writeAlignedFrame);
    if (s.twoPassIntegration())
        return m_stages.packForStore && m_stages.integrationPassJob &&
               (s.integrationMode != 2 || m_stages.finishFreezeGround);
    return static_cast<bool>(m_stages.accumulateFrame);
}

int32_t OutputProducer::skippedFrameSteps() const
{
    const EngineSettings& s = m_ctx.settings;
    int32_t steps = s.alignStars() ? 4 - (m_ctx.vignettingReady ? 0 : 1) : 2;
    if (!m_ctx.noiseReady)
        steps -= 1;
    return steps;
}

int OutputProducer::walk(const std::vector<FrameEntry>& frames)
{
    const EngineSettings& s = m_ctx.settings;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (cancelled())
            break;
        Frame frame;
        frame.path = frames[i].path;
        frame.reference = i == 0;
        VelostarFrameReport report{};
        report.file = frames[i].path;
        report.reference = frame.reference;
        report.transform[0] = report.transform[4] = 1.0;

        load(frames[i].path, frame);
        if (!frame.image) {
            report.reason = "could not be loaded";
            m_engine.frameReports().push_back(report);
            if (frame.reference)
                return VELOSTAR_BASE_UNREADABLE;
            m_engine.advance(skippedFrameSteps());
            continue;
        }
        readMetadata(frame);
        if (frame.reference) {
            m_referenceWidth = frame.image->width();
            m_referenceHeight = frame.image->height();
            prepareRegions(*frame.image);
        }
        if (cancelled())
            break;
        calibrate(frame);
        if (cancelled())
            break;
        if (s.unifyExposure)
            unifyExposure(frame);
        if (cancelled())
            break;
        if (s.estimatesSkyMask() && m_stages.keepSkySample)
            m_stages.keepSkySample(m_ctx, frame);

        if (s.alignStars() && frames.size() > 1) {
            if (analyze(frame, report) == VELOSTAR_TOO_FEW_STARS) {
                m_engine.frameReports().push_back(report);
                return VELOSTAR_TOO_FEW_STARS;
            }
            if (cancelled())
                break;
        }

        if (frame.reference && s.estimateOnly) {
            keepReference(frame);
            report.used = report.aligned = true;
        } else if (frame.reference) {
            report.used = startReference(frame, frames.size());
            // The reference maps onto itself: its identity transform is exact, not a claim.
            report.aligned = report.used && s.alignStars();
        } else {
            report.used = s.estimateOnly ? alignOnly(frame) : composeFrame(frame);
            if (s.estimatesSkyMask() && m_stages.keepSkyAlignment)
                m_stages.keepSkyAlignment(m_ctx, frame);
            if (frame.analysis) {
                report.pairs = frame.analysis->pairs;
                report.aligned = frame.analysis->aligned;
                if (report.aligned)
                    std::copy_n(frame.analysis->transform, 6, report.transform);
                else
                    report.reason = frame.analysis->reason;
            }
            if (s.alignStars() && !report.aligned && !report.reason)
                report.reason = frame.analysis ? "fit failed" : "too few stars found";
            rememberPattern(frame);
        }
        m_engine.frameReports().push_back(report);
    }
    return VELOSTAR_OK;
}

void OutputProducer::readMetadata(Frame& frame)
{
    using namespace velimage;
    EngineSettings& s = m_ctx.settings;
    const MetadataList* list = frame.image->metadata();
    if (frame.reference) {
        m_ctx.metadata = list ? *list : MetadataList{};
    } else if (list && s.twoPassIntegration() && !s.unifyExposure) {
        // Frames shot with another exposure would bias the per-pixel statistics.
        float time = 0, referenceTime = 0;
        uint16_t iso = 0, referenceIso = 0;
        if (list->findFloat(tags::ExposureTime, time) && list->findShort(tags::ISOSpeedRatings, iso) &&
            m_ctx.metadata.findFloat(tags::ExposureTime, referenceTime) &&
            m_ctx.metadata.findShort(tags::ISOSpeedRatings, referenceIso) &&
            time * static_cast<float>(iso) != referenceTime * static_cast<float>(referenceIso))
            s.unifyExposure = true;
    }
    float time = 0;
    if (list && list->findFloat(tags::ExposureTime, time))
        m_ctx.totalExposure += time;
    if (frame.reference && m_ctx.rawInput) {
        uint16_t orientation = 0;
        m_ctx.rotation = list && list->findShort(tags::Orientation, orientation) ? rotationFromOrientation(orientation) : 0;
    }
}

void OutputProducer::prepareRegions(const velimage::Image16& image)
{
    const EngineSettings& s = m_ctx.settings;
    const int32_t width = image.width(), height = image.height();
    if (s.usesPaintedMask() && (!m_ctx.mask || m_ctx.mask->width() != width || m_ctx.mask->height() != height)) {
        m_engine.report(Mask, nullptr, Start, 0);
        // Trails derive their soft sky mask only once in the engine's life.
        const int32_t q = s.alignStars() ? 60 : (m_trailsSoftMaskMade ? 0 : 20);
        const int32_t passes = std::min(width / s.maskWidth, height / s.maskHeight);
        const bool ok = m_stages.prepareSkyMask && m_stages.prepareSkyMask(m_ctx, width, height, q, passes);
        if (ok && s.trails())
            m_trailsSoftMaskMade = true;
        if (ok && m_ctx.mask)
            m_engine.keepSkyMask(*m_ctx.mask, m_ctx.rotation,
                                 s.autoSkyMask ? VELOSTAR_MASK_ESTIMATED : VELOSTAR_MASK_PAINTED);
        m_engine.report(Mask + 1, nullptr, ok ? Done : Failed, 1);
    }
    regionsForFrame(s, m_ctx.rotation, width, height, m_ctx.starBound, m_ctx.gradient, m_ctx.gradientExtent);
}

void OutputProducer::calibrate(Frame& frame)
{
    // The same steps as the loader's row work was given: each stage leaves out what it already did.
    const CalibrationSteps steps = calibrationSteps(0);
    const auto step = [&](bool on, int32_t stage, const auto& run) {
        if (!on || cancelled())
            return;
        m_engine.report(stage, nullptr, Start, 0);
        m_engine.report(stage + 1, nullptr, run() ? Done : Failed, 1);
    };
    step(steps.noise, Noise, [&] { return m_stages.subtractNoise && m_stages.subtractNoise(m_ctx, frame); });
    step(steps.hotPixels, HotPixels, [&] {
        if (!m_stages.removeHotPixels)
            return false;
        m_stages.removeHotPixels(m_ctx, frame);
        return true;
    });
    step(steps.flatField, Vignetting,
         [&] { return m_stages.correctVignetting && m_stages.correctVignetting(m_ctx, frame); });
}

void OutputProducer::unifyExposure(Frame& frame)
{
    m_engine.report(Exposure, nullptr, Start, 0);
    const bool ok = m_stages.unifyExposure && m_stages.unifyExposure(m_ctx, frame);
    m_engine.report(Exposure + 1, nullptr, ok ? Done : Failed, 0);
}

int OutputProducer::analyze(Frame& frame, VelostarFrameReport& report)
{
    m_engine.report(Analyze, nullptr, Start, 0);
    if (!m_stages.analyzeFrame) {
        // Without star analysis nothing can be aligned: say so rather than count stars we never saw.
        m_engine.report(Analyze + 1, nullptr, Failed, 1);
        return VELOSTAR_OK;
    }
    std::unique_ptr<FrameAnalysis> analysis;
    int32_t stars = 0;
    if (frame.reference) {
        // Up to three attempts; the one the reference settles on holds for every later frame.
        for (int32_t attempt = 0; attempt < 3; ++attempt) {
            analysis = m_stages.analyzeFrame(m_ctx, frame, attempt);
            stars = analysis ? analysis->stars : 0;
            m_detectionLevel = attempt;
            if (stars > 10)
                break;
        }
    } else {
        analysis = m_stages.analyzeFrame(m_ctx, frame, m_detectionLevel);
        stars = analysis ? analysis->stars : 0;
    }
    report.stars = stars;
    report.patternStars = analysis ? analysis->patternStars : 0;
    m_engine.report(Analyze + 1, nullptr, stars <= 10 ? TooFewStars : Done, 1);
    if (frame.reference && stars < 5)
        return VELOSTAR_TOO_FEW_STARS;
    frame.analysis = std::move(analysis);
    return VELOSTAR_OK;
}

bool OutputProducer::startReference(Frame& frame, size_t frameCount)
{
    const EngineSettings& s = m_ctx.settings;
    m_engine.report(BaseImage, nullptr, Start, 0);
    velimage::Image16& image = *frame.image;
    if (m_stages.startAccumulation)
        m_stages.startAccumulation(m_ctx, image);
    else
        startFromBase(m_ctx, image);

    bool ok = true;
    if (s.alignStars() && s.integrationMode == 3)
        ok = m_stages.writeAlignedFrame && m_stages.writeAlignedFrame(m_ctx, frame, alignedPath(frame.path));
    if (s.twoPassIntegration()) {
        const uint64_t entries = static_cast<uint64_t>(frameCount) * (s.integrationMode == 2 ? 2u : 1u);
        m_storage.begin(image.width(), image.height(), entries, m_outputPath);
        // A later frame may switch exposure unification on after these pixels are gone.
        if (m_stages.measureReferenceExposure)
            m_stages.measureReferenceExposure(m_ctx, image);
        ok = m_storage.store({3, packUnwarped(image)}) && ok;
    }
    m_referenceAnalysis = std::move(frame.analysis);
    m_ctx.referenceAnalysis = m_referenceAnalysis.get();
    m_ctx.previousAnalysis = m_referenceAnalysis.get();

    // The motion effect needs the reference's pixels later. "Freeze ground" takes them from the
    // base's stored entry instead, so that a second copy does not sit in memory for the whole walk.
    const bool keep = s.trails() && s.trailsMotionEffect;
    if (keep)
        m_ctx.reference = std::move(frame.image);
    else
        frame.image.reset();
    m_ctx.composed = 1;
    m_engine.report(BaseImage + 1, nullptr, ok ? Done : Failed, 1);
    return ok;
}

bool OutputProducer::composeFrame(Frame& frame)
{
    const EngineSettings& s = m_ctx.settings;
    m_engine.report(Compose, nullptr, Start, 0);
    const velimage::Image16& image = *frame.image;
    const velimage::AccumulationImage& acc = m_ctx.accumulation;
    const bool sameSize = image.width() == acc.width() && image.height() == acc.height();
    bool ok = false;
    if (s.alignStars()) {
        if (s.distortionCorrection == 2 && frame.analysis && m_ctx.previousAnalysis && m_stages.inheritIdentities)
            m_stages.inheritIdentities(m_ctx, frame, *m_ctx.previousAnalysis);
        const bool aligned =
            frame.analysis && m_ctx.referenceAnalysis && m_stages.alignFrame && m_stages.alignFrame(m_ctx, frame);
        if (!aligned) {
            ok = false;
        } else if (s.integrationMode == 3) {
            ok = m_stages.writeAlignedFrame && m_stages.writeAlignedFrame(m_ctx, frame, alignedPath(frame.path));
        } else if (s.twoPassIntegration()) {
            if (sameSize && m_stages.packForStore) {
                std::vector<StoredFrame> entries = m_stages.packForStore(m_ctx, frame);
                ok = !entries.empty();
                for (StoredFrame& entry : entries)
                    ok = m_storage.store(std::move(entry)) && ok;
            }
        } else {
            ok = m_stages.accumulateFrame && m_stages.accumulateFrame(m_ctx, frame);
        }
    } else if (s.trails()) {
        ok = image.channels() == 3 && sameSize && m_stages.composeTrails && m_stages.composeTrails(m_ctx, frame);
    }
    if (ok)
        ++m_ctx.composed;
    m_engine.report(Compose + 1, nullptr, ok ? Done : Failed, 1);
    return ok;
}

void OutputProducer::keepReference(Frame& frame)
{
    m_referenceAnalysis = std::move(frame.analysis);
    m_ctx.referenceAnalysis = m_referenceAnalysis.get();
    m_ctx.previousAnalysis = m_referenceAnalysis.get();
    frame.image.reset();
}

bool OutputProducer::alignOnly(Frame& frame)
{
    m_engine.report(Compose, nullptr, Start, 0);
    const bool ok = frame.analysis && m_ctx.referenceAnalysis && m_stages.alignFrame && m_stages.alignFrame(m_ctx, frame);
    m_engine.report(Compose + 1, nullptr, ok ? Done : Failed, 1);
    return ok;
}

void OutputProducer::estimateSkyMask()
{
    m_engine.report(SkyEstimate, nullptr, Start, 0);
    int32_t detail = Failed;
    if (m_stages.estimateSkyMask && m_referenceWidth > 0 && m_referenceHeight > 0) {
        velmask::SkyLabels estimate;
        detail = m_stages.estimateSkyMask(m_ctx, m_referenceWidth, m_referenceHeight, estimate);
        if (detail != Failed)
            m_engine.keepSkyEstimate(std::move(estimate), m_referenceWidth, m_referenceHeight, m_ctx.rotation,
                                     detail == Done ? VELOSTAR_MASK_ESTIMATED : VELOSTAR_MASK_NO_STAR_MOTION);
    }
    m_engine.report(SkyEstimate + 1, nullptr, detail, 1);
}

void OutputProducer::rememberPattern(Frame& frame)
{
    if (m_ctx.settings.alignStars() && m_ctx.settings.distortionCorrection == 2 && frame.analysis) {
        m_previousAnalysis = std::move(frame.analysis);
        m_ctx.previousAnalysis = m_previousAnalysis.get();
    }
}

std::wstring OutputProducer::alignedPath(const std::wstring& framePath)
{
    const std::wstring_view name = velpath::fileNamePart(std::wstring_view(framePath));
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring_view::npos)
        return velfile::uniqueName(m_outputPath, L".align.tif", m_engine.fileCounter());
    std::wstring path(velpath::folderPart(m_outputPath));
    path.append(name.substr(0, dot)).append(L".align.tif");
    return path;
}

}  // namespace velrun
