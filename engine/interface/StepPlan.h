#pragma once

#include <cstdint>

#include "EngineSettings.h"

// The progress-step budget of a coming run.
struct StepPlan {
    int64_t outputs = 1;
    int64_t frameWork = 0;
    int64_t framesPerOutput = 0;
    int64_t tickBudget = 0;  // per output, for the integration stages' stage-0 ticks
    int64_t total = 0;
};

// Computes the plan. With align stars, at most one star image and integration mode 1 or 2, the
// settings' integration mode is reset to 0: that change persists and governs the run.
StepPlan planSteps(EngineSettings& settings);

// The settings of the walk that only estimates the sky mask: "Align stars" accumulation with the
// affine model, one output, no composition.
EngineSettings estimateSettings(const EngineSettings& settings);
