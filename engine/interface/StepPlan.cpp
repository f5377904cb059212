#include "StepPlan.h"

EngineSettings estimateSettings(const EngineSettings& s)
{
    EngineSettings e = s;
    e.compositionMode = 0;
    e.integrationMode = 0;
    e.timeLapseFrames = 0;
    e.distortionCorrection = 0;
    e.autoSkyMask = true;
    e.estimateOnly = true;
    return e;
}

StepPlan planSteps(EngineSettings& s)
{
    const auto n = static_cast<int64_t>(s.starImages.size());
    const int64_t mode = s.compositionMode;
    if (mode == 0 && n <= 1 && (s.integrationMode == 1 || s.integrationMode == 2))
        s.integrationMode = 0;

    StepPlan plan;
    plan.frameWork = n;
    plan.framesPerOutput = n;
    if (s.timeLapseActive()) {
        const auto w = static_cast<int64_t>(s.timeLapseFrames);
        plan.outputs = n - w + 1;
        plan.framesPerOutput = w;
        plan.frameWork = plan.outputs * w;
    }
    const int64_t outputs = plan.outputs;
    const int64_t frameWork = plan.frameWork;

    int64_t steps = 0;
    if (s.usesPaintedMask())
        steps = s.mergePixels ? outputs : 1;
    if (s.estimatesSkyMask())
        steps += outputs;
    if (!s.noiseImages.empty())
        steps += static_cast<int64_t>(s.noiseImages.size()) + frameWork;
    if (s.removeHotPixels)
        steps += frameWork;
    if (!s.vignettingImages.empty()) {
        steps += static_cast<int64_t>(s.vignettingImages.size()) + 1;
        steps += mode == 0 ? frameWork : mode == 1 ? outputs : 0;
    }
    if (frameWork == 1)
        steps += 2;
    else if (frameWork > 0)
        steps += (mode == 0 ? 3 : mode == 1 ? 2 : 0) * frameWork;
    if (mode == 0 && (s.integrationMode == 1 || s.integrationMode == 2)) {
        plan.tickBudget = s.integrationMode == 2 ? 2 * plan.framesPerOutput : plan.framesPerOutput;
        steps += plan.tickBudget * outputs;
    }
    steps += 2 * outputs;
    if (s.enhanceStarsFactor > 0.0f) steps += outputs;
    if (s.autoBrightness) steps += outputs;
    if (s.hdr) steps += outputs;
    if (s.reducePollutionKind == 1) steps += outputs;
    if (s.mergePixels) steps += outputs;
    if (s.reducePollutionKind == 2) steps += 5 * outputs;
    plan.total = steps + outputs;
    // Trails estimate their sky mask in a walk of their own first.
    if (s.autoSkyMask && s.trails()) {
        EngineSettings estimate = estimateSettings(s);
        plan.total += planSteps(estimate).total;
    }
    return plan;
}
