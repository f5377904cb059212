#include "CalibrationStages.h"

#include <memory>

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
};

}  // namespace

void addCalibrationStages(RunStages& stages)
{
    auto images = std::make_shared<CalibrationImages>();
    stages.addNoiseFrame = [images](RunContext&, const velimage::Image16& frame) { return images->noise.add(frame); };
    stages.analyzeNoise = [images](RunContext&) { return images->noise.analyze(); };
    stages.subtractNoise = [images](RunContext&, Frame& frame) {
        return frame.image && images->noise.subtract(*frame.image);
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
        velimage::Image16& image = *frame.image;
        return veltone::applyFlatField(image, images->vignetting.gainsFacing(image.width(), image.height()));
    };
    stages.correctResultVignetting = [images](RunContext& ctx) {
        velimage::AccumulationImage& result = ctx.accumulation;
        return images->vignetting.ready() &&
               veltone::applyFlatField(result, images->vignetting.gainsFacing(result.width(), result.height()));
    };
    stages.removeHotPixels = [](RunContext&, Frame& frame) {
        if (frame.image)
            veltone::removeHotPixels(*frame.image);
    };
    stages.exposureMeasure = [](RunContext&, const velimage::Image16& image) { return veltone::exposureMeasure(image); };
    stages.accumulatedExposureMeasure = [](RunContext& ctx) { return veltone::exposureMeasure(ctx.accumulation); };
    stages.scaleExposure = [](RunContext&, Frame& frame, uint64_t factor) {
        if (frame.image)
            veltone::scaleExposure(*frame.image, factor);
    };
}

}  // namespace velrun
