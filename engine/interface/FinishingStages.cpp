#include "FinishingStages.h"

#include "SkyMaskStage.h"
#include <algorithm>

#include "corrections/BrightnessAdjuster.h"
#include "corrections/DynamicRange.h"
#include "corrections/FinalToneConversion.h"
#include "corrections/MergePixels.h"
#include "corrections/StarLightEnhancer.h"
#include "image/OutputWriter.h"
#include "integration/AccumulationArithmetic.h"
#include "integration/GradientRamp.h"
#include "parallel/ProcessPool.h"

namespace velrun {

namespace {

// The tone stages' view of the run: the pipeline keeps the working-scale flag and the frame count.
veltone::ToneState toneOf(const RunContext& ctx) { return {ctx.workingScale, ctx.exposureCount, 1.0f}; }

// A one-value-per-pixel mask brought to the merged size by 2 × 2 means (odd last row and column dropped).
void halveMask(std::unique_ptr<velimage::Image16>& mask)
{
    if (!mask || mask->empty() || mask->channels() != 1 || mask->width() < 2 || mask->height() < 2)
        return;
    auto half = std::make_unique<velimage::Image16>();
    half->allocate(mask->width() / 2, mask->height() / 2, 1);
    const velimage::Image16& full = *mask;
    velthread::parallelRows(half->height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint16_t* a = full.row(2 * y);
            const uint16_t* b = full.row(2 * y + 1);
            uint16_t* out = half->row(y);
            for (int32_t x = 0; x < half->width(); ++x)
                out[x] = static_cast<uint16_t>((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2u) / 4u);
        }
    });
    mask = std::move(half);
}

void mergePixels(RunContext& ctx)
{
    // The pipeline multiplies its frame count itself.
    veltone::ToneState tone = toneOf(ctx);
    if (!veltone::mergePixels(ctx.accumulation, tone))
        return;
    for (int32_t& v : ctx.starBound)
        v /= 2;
    for (int32_t& v : ctx.gradient)
        v /= 2;
    ctx.gradientExtent /= 2;
    // The painted mask too, so that the finishing stages can make their soft mask at this size
    // and the next output's reference prepares a full-size mask again.
    halveMask(ctx.mask);
    halveMask(ctx.softMask);
}

void enhanceStars(RunContext& ctx)
{
    veltone::RegionWeight region;
    if (const velimage::Image16* soft = finishingSoftMask(ctx))
        region.skyMask = soft->data();
    velstack::GradientRamp ramp;
    if (!region.skyMask && ctx.gradientActive()) {
        ramp = velstack::GradientRamp(ctx.gradient[0], ctx.gradient[1], ctx.gradient[2], ctx.gradient[3],
                                      static_cast<float>(ctx.gradientExtent));
        region.ramp = &ramp;
    }
    veltone::enhanceStarLight(ctx.accumulation, ctx.settings.enhanceStarsFactor, region);
}

void adjustDynamicRange(RunContext& ctx)
{
    veltone::ToneState tone = toneOf(ctx);
    veltone::adjustDynamicRange(ctx.accumulation, tone, ctx.settings.autoBrightness);
    ctx.workingScale = tone.workingScale;
}

void preparationPass(RunContext& ctx)
{
    veltone::ToneState tone = toneOf(ctx);
    veltone::ensureWorkingScale(ctx.accumulation, tone);
    ctx.workingScale = tone.workingScale;
}

int64_t countOverExposed(RunContext& ctx) { return static_cast<int64_t>(velstack::countOverExposed(ctx.accumulation)); }

bool toneConvert(RunContext& ctx)
{
    if (ctx.accumulation.empty())
        return false;
    veltone::ToneState tone = toneOf(ctx);
    veltone::finalToneConversion(ctx.accumulation, tone, ctx.settings.colorSpace, ctx.metadata);
    ctx.workingScale = tone.workingScale;
    return true;
}

bool writeOutput(RunContext& ctx, const std::wstring& path)
{
    // ctx.rotation is already the turn back to display orientation (0 for JPEG and TIFF input).
    return velimage::writeOutput(ctx.accumulation, path, ctx.metadata, ctx.rawInput, ctx.rotation);
}

}  // namespace

void addFinishingStages(RunStages& stages)
{
    stages.normalize = [](RunContext& ctx) { velstack::normalize(ctx.accumulation); };
    stages.mergePixels = mergePixels;
    stages.enhanceStars = enhanceStars;
    // Brighter only when light-pollution reduction will actually run after it.
    const bool pollutionStage = static_cast<bool>(stages.reducePollution);
    stages.adjustBrightness = [pollutionStage](RunContext& ctx, int32_t mode) {
        veltone::ToneState tone = toneOf(ctx);
        const veltone::BrightnessOptions options{mode == 0, pollutionStage && ctx.settings.reducePollutionKind != 0,
                                                 ctx.settings.hdr};
        veltone::adjustBrightness(ctx.accumulation, tone, options);
        ctx.workingScale = tone.workingScale;
    };
    stages.adjustDynamicRange = adjustDynamicRange;
    stages.preparationPass = preparationPass;
    stages.countOverExposed = countOverExposed;
    stages.toneConvert = toneConvert;
    stages.writeOutput = writeOutput;
}

}  // namespace velrun
