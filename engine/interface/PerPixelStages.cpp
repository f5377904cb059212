#include "PerPixelStages.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "IntegrationStorage.h"
#include "StarAnalysis.h"
#include "integration/AccumulationArithmetic.h"
#include "integration/FrameWarper.h"
#include "integration/FreezeGroundFinish.h"
#include "integration/PerPixelIntegration.h"
#include "integration/SigmaClipping.h"
#include "parallel/FrameStore.h"
#include "parallel/ProcessPool.h"

namespace velrun {

namespace {

// What every pass job of one integration reads, set up on the pipeline's thread before the pass.
struct PassPlan {
    bool freezeGround = false;
    bool baseOnly = false;  // no other frame was stored: the base, in the working scale, is the result
    velstack::SkyWeight sky;
    velstack::MeanRule rule;
    const velimage::Image16* base = nullptr;  // freeze ground: the base image, when no stored entry has it
    std::mutex maximumMutex;                  // the jobs raise the image's maximum weight under it
};

bool sameSize(const velimage::Image16* image, const velimage::AccumulationImage& acc, int32_t channels)
{
    return image && !image->empty() && image->width() == acc.width() && image->height() == acc.height() &&
           image->channels() == channels;
}

std::vector<StoredFrame> packForStore(RunContext& ctx, Frame& frame)
{
    std::vector<StoredFrame> entries;
    const StarAnalysis* analysis = starAnalysisOf(frame.analysis.get());
    const velimage::AccumulationImage& acc = ctx.accumulation;
    if (!analysis || !analysis->aligned || !sameSize(frame.image.get(), acc, 3))
        return entries;
    const velimage::Image16& image = *frame.image;
    auto aligned = std::make_unique<velimage::PostWeightedImage>();
    aligned->allocate(acc.width(), acc.height(), 4);
    // The mask moves with the frame: where the frame saw ground stays ground after the warp.
    const bool warped = sameSize(ctx.mask.get(), acc, 1)
                            ? velstack::warpForSecondPass(image, *ctx.mask, analysis->warp.model(), *aligned)
                            : velstack::warpForSecondPass(image, analysis->warp.model(), *aligned, false);
    if (!warped)
        return entries;
    entries.push_back({2, std::move(aligned)});
    // The ground does not move with the stars: the frame as shot is where it is sharp.
    if (ctx.settings.integrationMode == 2)
        entries.push_back({1, packUnwarped(image)});
    // Everything the store needs is packed; the frame's pixels would only wait with the entries
    // while the saver's queue is full.
    frame.image.reset();
    return entries;
}

velstack::SkyWeight skyWeightOf(const RunContext& ctx, bool freezeGround)
{
    const velimage::AccumulationImage& acc = ctx.accumulation;
    if (sameSize(ctx.softMask.get(), acc, 1))
        return velstack::SkyWeight::fromMask(ctx.softMask->data(), acc.width());
    if (ctx.gradientActive())
        return velstack::SkyWeight::fromRamp(ctx.gradient[0], ctx.gradient[1], ctx.gradient[2], ctx.gradient[3],
                                             ctx.gradientExtent);
    if (freezeGround && ctx.starBoundActive())
        return velstack::SkyWeight::fromRamp(ctx.starBound[0], ctx.starBound[1], ctx.starBound[2], ctx.starBound[3],
                                             2 * (std::min(acc.width(), acc.height()) / 60));
    // Without a region "Select best pixels" treats everything as sky, "Freeze ground" as ground.
    return velstack::SkyWeight::everywhere(freezeGround ? 0.0 : 1.0);
}

bool prepareIntegration(PassPlan& plan, RunContext& ctx)
{
    velimage::AccumulationImage& acc = ctx.accumulation;
    if (acc.empty() || acc.channels() != 3)
        return false;
    plan.freezeGround = ctx.settings.integrationMode == 2;
    plan.baseOnly = ctx.composed <= 1;
    plan.base = plan.freezeGround && sameSize(ctx.reference.get(), acc, 3) ? ctx.reference.get() : nullptr;
    plan.sky = skyWeightOf(ctx, plan.freezeGround);
    if (plan.freezeGround)
        plan.rule = {ctx.settings.freezeGroundSelective, velstack::FreezeGroundRejectionFactor,
                     velstack::MaxClippingIterations};
    else
        plan.rule = {true, velstack::rejectionFactor(ctx.settings.sigma), velstack::MaxClippingIterations};

    // The base went in as 16-bit samples; every result of the pass is in the 256× scale.
    if (!ctx.workingScale) {
        velstack::toWorkingScale(acc);
        ctx.workingScale = true;
    }
    if (plan.freezeGround && !plan.baseOnly) {
        acc.setMaxWeight(0.0f);  // raised by the pass jobs to the largest weight they write
        acc.setNormalized(false);
    }
    return true;
}

// Rows between progress reports and between looks at the cancel flag.
constexpr int32_t ProgressRows = 64;
constexpr int32_t CancelCheckRows = 8;

void integrationPassJob(PassPlan& plan, RunContext& ctx, velthread::FrameStore& store)
{
    velimage::AccumulationImage& acc = ctx.accumulation;
    const int32_t width = acc.width();
    velstack::RowScratch scratch(std::max<size_t>(1, store.frameCount()));
    // A band whose base file could not be read, in a run that no longer holds the base: the ground
    // is then chosen against black, as if the base were dark there.
    const std::vector<uint16_t> blackRow(static_cast<size_t>(width) * 3, 0);
    const size_t entryRow = static_cast<size_t>(width) * 4;
    float maximum = 0.0f;
    velthread::StoredBand band;
    bool stopped = false;
    while (!stopped && store.takeBand(band)) {
        if (plan.baseOnly) {
            // Every mean of the base alone is the base: keep it and its weights of 1, which the
            // finishing pass (skipped for a single frame) would otherwise have restored.
            store.addFinishedRows(band.rows);
            store.returnBand(band);
            continue;
        }
        const int32_t entries = static_cast<int32_t>(std::min(band.pixels.size(), scratch.entries()));
        // The stored base entry (unwarped, every pixel as shot) is the ground selection's reference.
        const auto stored = std::find(band.markers.begin(), band.markers.begin() + entries, 3);
        const int32_t base = stored != band.markers.begin() + entries ? static_cast<int32_t>(stored - band.markers.begin()) : -1;
        int32_t unreported = 0;
        for (int32_t r = 0; r < band.rows; ++r) {
            const int32_t y = band.firstRow + r;
            for (int32_t e = 0; e < entries; ++e)
                scratch.rows()[e] = band.pixels[static_cast<size_t>(e)] + static_cast<size_t>(r) * entryRow;
            if (plan.freezeGround) {
                const uint16_t* baseRow = base >= 0 ? scratch.rows()[base] : plan.base ? plan.base->row(y) : blackRow.data();
                maximum = std::max(maximum, velstack::freezeGroundRow(scratch, band.markers.data(), entries, width, y,
                                                                      baseRow, base >= 0 ? 4 : 3, plan.sky, plan.rule,
                                                                      acc.row(y), acc.weightRow(y)));
            }
            else
                velstack::bestPixelsRow(scratch, entries, width, y, plan.sky, plan.rule.factor, acc.row(y));
            if (++unreported == ProgressRows) {
                store.addFinishedRows(unreported);
                unreported = 0;
            }
            if ((r + 1) % CancelCheckRows == 0 && store.stopped()) {
                stopped = true;
                break;
            }
        }
        store.addFinishedRows(unreported);
        store.returnBand(band);
    }
    if (plan.freezeGround && !plan.baseOnly) {
        std::lock_guard<std::mutex> lock(plan.maximumMutex);
        acc.setMaxWeight(std::max(acc.maxWeight(), maximum));
    }
}

}  // namespace

void addPerPixelStages(RunStages& stages)
{
    auto plan = std::make_shared<PassPlan>();
    stages.packForStore = packForStore;
    stages.prepareIntegration = [plan](RunContext& ctx) { return prepareIntegration(*plan, ctx); };
    stages.integrationPassJob = [plan](RunContext& ctx, velthread::FrameStore& store) {
        integrationPassJob(*plan, ctx, store);
    };
    stages.finishFreezeGround = [](RunContext& ctx) { velstack::finishFreezeGround(ctx.accumulation); };
}

}  // namespace velrun
