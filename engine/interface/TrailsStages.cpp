#include "TrailsStages.h"

#include "SkyMaskStage.h"
#include "corrections/RegionWeight.h"
#include "integration/GradientRamp.h"
#include "integration/TrailsComposition.h"

namespace velrun {

namespace {

const velimage::Image16* skyMaskFor(RunContext& ctx)
{
    const velimage::AccumulationImage& acc = ctx.accumulation;
    const velimage::Image16* soft = ctx.softMask.get();
    if (soft && soft->channels() == 1 && soft->width() == acc.width() && soft->height() == acc.height())
        return soft;
    // The soft mask kept from an earlier run of another size cannot be read here; the finishing
    // mask is made with the same fineness at this size.
    return finishingSoftMask(ctx);
}

bool composeTrails(RunContext& ctx, Frame& frame)
{
    if (!frame.image)
        return false;
    const EngineSettings& s = ctx.settings;
    velimage::Image16& image = *frame.image;
    if (s.trailsMotionEffect) {
        // The fade needs the base frame's pixels, kept for this mode.
        const int32_t total = static_cast<int32_t>(s.starImages.size());
        if (!ctx.reference || !velstack::blendTowardBase(image, *ctx.reference, ctx.composed, total - ctx.composed))
            return false;
    }

    // Stages that read the whole image afterwards (pollution, star light) and the fade want the
    // trails everywhere; otherwise the sky region keeps them off the ground.
    veltone::RegionWeight region;
    velstack::GradientRamp ramp;
    const bool plain = s.reducePollutionKind != 0 || s.enhanceStarsFactor != 0.0f || s.trailsMotionEffect;
    const velimage::Image16* mask = !plain && s.hasMask() ? skyMaskFor(ctx) : nullptr;
    if (mask) {
        region.skyMask = mask->row(0);
    } else if (!plain && ctx.gradientActive()) {
        ramp = velstack::GradientRamp(ctx.gradient[0], ctx.gradient[1], ctx.gradient[2], ctx.gradient[3],
                                      static_cast<float>(ctx.gradientExtent));
        region.ramp = &ramp;
    }
    return velstack::composeTrailFrame(ctx.accumulation, image, region);
}

}  // namespace

void addTrailsStages(RunStages& stages) { stages.composeTrails = composeTrails; }

}  // namespace velrun
