#include "PollutionStage.h"

#include <algorithm>

#include "SkyMaskStage.h"
#include "corrections/LightPollution.h"
#include "corrections/ToneState.h"
#include "integration/GradientRamp.h"

namespace velrun {

namespace {

void reducePollution(RunContext& ctx)
{
    const EngineSettings& s = ctx.settings;
    velimage::AccumulationImage& acc = ctx.accumulation;
    // The levels and the target are in the working scale.
    veltone::ToneState tone{ctx.workingScale, ctx.exposureCount, 1.0f};
    veltone::ensureWorkingScale(acc, tone);
    ctx.workingScale = tone.workingScale;

    const veltone::PollutionOptions options{s.reducePollutionKind, s.reducePollutionStrength, s.aggressiveSuppression,
                                            s.colorSpace};
    veltone::PollutionRegion region;
    if (ctx.mask && ctx.mask->channels() == 1 && ctx.mask->width() == acc.width() &&
        ctx.mask->height() == acc.height()) {
        region.skyMask = ctx.mask.get();
        // Only the aggressive second kind weighs its mapping by the soft mask.
        if (options.kind == 2 && options.aggressive)
            region.softMask = finishingSoftMask(ctx);
    }
    region.hasStarBound = ctx.starBoundActive();
    std::copy_n(ctx.starBound, 4, region.starBound);
    velstack::GradientRamp ramp;
    if (ctx.gradientActive()) {
        ramp = velstack::GradientRamp(ctx.gradient[0], ctx.gradient[1], ctx.gradient[2], ctx.gradient[3],
                                      static_cast<float>(ctx.gradientExtent));
        region.ramp = &ramp;
    }
    // Nothing to report when the image is left as it is: the stage still counts as done.
    veltone::reduceLightPollution(acc, options, region);
}

}  // namespace

void addPollutionStage(RunStages& stages) { stages.reducePollution = reducePollution; }

}  // namespace velrun
