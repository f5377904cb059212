#include "CompositionStages.h"

#include "AlignedFrames.h"
#include "StarAnalysis.h"
#include "integration/AccumulationArithmetic.h"
#include "integration/FrameWarper.h"
#include "integration/GradientRamp.h"

namespace velrun {

namespace {

void startAccumulation(RunContext& ctx, const velimage::Image16& base) { velstack::startFromBase(ctx.accumulation, base); }

bool accumulateFrame(RunContext& ctx, Frame& frame)
{
    const StarAnalysis* analysis = starAnalysisOf(frame.analysis.get());
    if (!analysis || !analysis->aligned || !frame.image)
        return false;
    const velimage::Image16& image = *frame.image;
    const velimage::AccumulationImage& acc = ctx.accumulation;
    // A frame of another size is not a frame of this series.
    if (acc.empty() || image.width() != acc.width() || image.height() != acc.height())
        return false;
    if (!ctx.gradientActive())
        return velstack::accumulateFrame(image, analysis->warp.model(), ctx.accumulation);
    const velstack::GradientRamp ramp(ctx.gradient[0], ctx.gradient[1], ctx.gradient[2], ctx.gradient[3],
                                      static_cast<float>(ctx.gradientExtent));
    return velstack::accumulateFrame(image, analysis->warp.model(), ctx.accumulation, &ramp);
}

}  // namespace

void addCompositionStages(RunStages& stages)
{
    stages.startAccumulation = startAccumulation;
    stages.accumulateFrame = accumulateFrame;
    stages.writeAlignedFrame = writeAlignedFrame;
}

}  // namespace velrun
