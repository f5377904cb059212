#include "CalibrationStages.h"

#include <algorithm>
#include <memory>
#include <new>

#include "DecodeCalibration.h"
#include "NoiseImage.h"
#include "VignettingImage.h"
#include "corrections/ExposureUnification.h"
#include "corrections/FlatField.h"
#include "corrections/HotPixelRemoval.h"

namespace velrun {

namespace {

struct CalibrationImages {
    NoiseImage noise;
    VignettingImage vignetting;
    // Loader threads read the gain map: it must not be turned in place any more.
    bool mapShared = false;
};

// The step was done on the frame's rows while it was decoded.
bool doneWhileDecoded(const Frame& frame, bool (RowCalibration::*step)() const)
{
    const RowCalibration* rows = rowCalibrationOf(frame.decodedRows.get());
    return rows && (rows->*step)();
}

bool unifyExposure(RunContext& ctx, Frame& frame)
{
    if (!frame.image)
        return false;
    frame.exposure = veltone::exposureMeasure(*frame.image);
    if (frame.reference) {
        ctx.referenceExposure = frame.exposure;
        return true;
    }
    if (ctx.referenceExposure < 0 && ctx.reference)
        ctx.referenceExposure = veltone::exposureMeasure(*ctx.reference);
    else if (ctx.referenceExposure < 0 && !ctx.accumulation.empty())
        ctx.referenceExposure = veltone::exposureMeasure(ctx.accumulation);
    if (!(ctx.referenceExposure > 0) || !(frame.exposure > 0))
        return false;
    veltone::scaleExposure(*frame.image, veltone::exposureFactor(ctx.referenceExposure, frame.exposure));
    // The planes made while decoding are of the pixels before.
    if (RowCalibration* rows = rowCalibrationOf(frame.decodedRows.get()))
        rows->forgetPlanes();
    return true;
}

RowWorkMaker decodeCalibration(const std::shared_ptr<CalibrationImages>& images, const CalibrationSteps& steps)
{
    auto plan = std::make_shared<DecodeCalibrationPlan>();
    if (steps.noise && images->noise.ready())
        plan->noise = std::shared_ptr<const NoiseImage>(images, &images->noise);
    plan->hotPixels = steps.hotPixels;
    if (steps.flatField && images->vignetting.ready()) {
        plan->gains = std::shared_ptr<const veltone::GainMap>(images, &images->vignetting.gains());
        images->mapShared = true;
        try {
            auto compact = std::make_shared<veltone::CompactGains>();
            if (veltone::makeCompactGains(*plan->gains, *compact))
                plan->compactGains = std::move(compact);
        } catch (const std::bad_alloc&) {
            // Without room for the smaller copy the frames read the map itself.
        }
    }
    plan->luminance = steps.analysis;
    if (!plan->noise && !plan->hotPixels && !plan->gains && !plan->luminance && steps.skyFrames.empty())
        return nullptr;
    return [plan, sky = steps.skyFrames](const std::wstring& path) -> std::unique_ptr<velimage::RowSink> {
        const auto sampled = std::find(sky.begin(), sky.end(), path);
        const SkyPlanes planes = sampled == sky.end() ? SkyPlanes::None
                                 : sampled == sky.begin() ? SkyPlanes::WithFiner
                                                          : SkyPlanes::Plane;
        return std::make_unique<RowCalibration>(plan, planes);
    };
}

}  // namespace

void addCalibrationStages(RunStages& stages)
{
    auto images = std::make_shared<CalibrationImages>();
    stages.addNoiseFrame = [images](RunContext&, const velimage::Image16& frame) { return images->noise.add(frame); };
    stages.analyzeNoise = [images](RunContext&) { return images->noise.analyze(); };
    stages.subtractNoise = [images](RunContext&, Frame& frame) {
        return frame.image && (doneWhileDecoded(frame, &RowCalibration::noiseSubtracted) ||
                               images->noise.subtract(*frame.image));
    };
    stages.addVignettingFrame = [images](RunContext&, const velimage::Image16& frame) {
        return images->vignetting.add(frame);
    };
    stages.analyzeVignetting = [images](RunContext& ctx) {
        return images->vignetting.analyze(ctx.settings.homogenizeVignetting);
    };
    stages.correctVignetting = [images](RunContext&, Frame& frame) {
        if (!frame.image || !images->vignetting.ready())
            return false;
        if (doneWhileDecoded(frame, &RowCalibration::flatFielded))
            return true;
        velimage::Image16& image = *frame.image;
        const veltone::GainMap& gains =
            images->mapShared ? images->vignetting.gains() : images->vignetting.gainsFacing(image.width(), image.height());
        return veltone::applyFlatField(image, gains);
    };
    stages.correctResultVignetting = [images](RunContext& ctx) {
        velimage::AccumulationImage& result = ctx.accumulation;
        return images->vignetting.ready() &&
               veltone::applyFlatField(result, images->vignetting.gainsFacing(result.width(), result.height()));
    };
    stages.removeHotPixels = [](RunContext&, Frame& frame) {
        if (frame.image && !doneWhileDecoded(frame, &RowCalibration::hotPixelsRemoved))
            veltone::removeHotPixels(*frame.image);
    };
    stages.decodeCalibration = [images](RunContext&, const CalibrationSteps& steps) {
        return decodeCalibration(images, steps);
    };
    stages.unifyExposure = unifyExposure;
    stages.measureReferenceExposure = [](RunContext& ctx, const velimage::Image16& reference) {
        if (ctx.referenceExposure < 0)
            ctx.referenceExposure = veltone::exposureMeasure(reference);
    };
}

}  // namespace velrun
