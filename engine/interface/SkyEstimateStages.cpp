#include "SkyEstimateStages.h"

#include <algorithm>
#include <memory>

#include "DecodeCalibration.h"
#include "Velostar.h"
#include "corrections/SoftSkyMask.h"
#include "skymask/SkyMaskEstimate.h"

namespace velrun {

namespace {

constexpr int32_t IntegrationQ = 60;

// The series of one walk. Used on the pipeline's thread only.
struct SkySeries {
    std::vector<velmask::SkySample> samples;
    size_t seen = 0;
    size_t stride = 1;
    bool currentKept = false;  // the frame in hand has the last sample
};

size_t framesPerOutput(const EngineSettings& s)
{
    const size_t n = s.starImages.size();
    return s.timeLapseActive() ? static_cast<size_t>(s.timeLapseFrames) : n;
}

// The estimate keeps every stride-th frame of the walk, the reference first.
size_t sampleStride(const EngineSettings& s)
{
    const size_t most = velmask::MaxSkySamples;
    return std::max<size_t>(1, (framesPerOutput(s) + most - 1) / most);
}

void keepSample(SkySeries& series, RunContext& ctx, const Frame& frame)
{
    if (frame.reference) {
        series.samples.clear();
        series.seen = 0;
        series.stride = sampleStride(ctx.settings);
    }
    series.currentKept = false;
    const size_t index = series.seen++;
    if (!frame.image || (!frame.reference && (series.samples.empty() || index % series.stride != 0)))
        return;
    const velimage::Image16& image = *frame.image;
    velmask::SkySample sample;
    const int32_t factor = velmask::reductionFactor(image.width(), image.height());
    // The loader made them from the rows as they were decoded, unless the pixels changed since.
    RowCalibration* rows = rowCalibrationOf(frame.decodedRows.get());
    if (rows)
        sample.plane = rows->takeSkyPlane();
    if (sample.plane.factor != factor || sample.plane.empty())
        sample.plane = velmask::reduceLuminance(image, factor);
    if (frame.reference) {
        if (rows)
            sample.fine = rows->takeFinePlane();
        if (sample.fine.empty())
            sample.fine = velmask::fineLuminance(image, factor);
    }
    sample.aligned = frame.reference;
    if (sample.plane.empty())
        return;
    series.samples.push_back(std::move(sample));
    series.currentKept = true;
}

void keepAlignment(SkySeries& series, const Frame& frame)
{
    if (!series.currentKept || frame.reference || !frame.analysis || !frame.analysis->aligned)
        return;
    velmask::SkySample& sample = series.samples.back();
    sample.aligned = true;
    std::copy_n(frame.analysis->transform, 6, sample.toBase);
}

int32_t estimate(SkySeries& series, RunContext& ctx, int32_t width, int32_t height, velmask::SkyLabels& estimate)
{
    std::vector<velmask::SkySample> samples;
    samples.swap(series.samples);
    series.currentKept = false;
    // A series whose reference went unsampled cannot be compared with it.
    if (samples.empty() || !samples.front().aligned)
        samples.clear();
    const velmask::SkyEstimate outcome = velmask::estimateSkyLabels(samples, estimate);
    if (outcome != velmask::SkyEstimate::Estimated)
        return VELOSTAR_DETAIL_NO_STAR_MOTION;
    // The run's copy is sharp; the caller's soft one is drawn only when asked for.
    auto used = std::make_unique<velimage::Image16>();
    velmask::drawSkyMask(estimate, width, height, nullptr, used.get());
    auto soft = std::make_unique<velimage::Image16>();
    if (!veltone::makeSoftSkyMask(*used, IntegrationQ, 1, *soft))
        return 2;
    ctx.mask = std::move(used);
    ctx.softMask = std::move(soft);
    ctx.maskEstimated = true;
    return 1;
}

}  // namespace

std::vector<std::wstring> skySampledFrames(const EngineSettings& settings, const std::vector<FrameEntry>& frames)
{
    std::vector<std::wstring> sampled;
    const size_t stride = sampleStride(settings);
    for (size_t i = 0; i < frames.size(); i += stride)
        if (frames[i].path)
            sampled.emplace_back(frames[i].path);
    return sampled;
}

void addSkyEstimateStages(RunStages& stages)
{
    auto series = std::make_shared<SkySeries>();
    stages.keepSkySample = [series](RunContext& ctx, const Frame& frame) { keepSample(*series, ctx, frame); };
    stages.keepSkyAlignment = [series](RunContext&, const Frame& frame) { keepAlignment(*series, frame); };
    stages.estimateSkyMask = [series](RunContext& ctx, int32_t width, int32_t height, velmask::SkyLabels& labels) {
        return estimate(*series, ctx, width, height, labels);
    };
}

}  // namespace velrun
