#pragma once

#include "Stages.h"
#include "integration/FrameTransform.h"
#include "registration/Star.h"

namespace velrun {

// Registration's record of one frame: its stars, the pattern matched against other frames
// and, once aligned, the transform the warps use. Made by the analysis stage.
struct StarAnalysis : FrameAnalysis {
    velreg::StarList starList;
    velreg::StarPattern pattern;
    velstack::FrameTransform warp;  // usable when `aligned` is set
};

// The star record behind a frame's analysis; null for analyses made elsewhere.
StarAnalysis* starAnalysisOf(FrameAnalysis* analysis);
const StarAnalysis* starAnalysisOf(const FrameAnalysis* analysis);

}  // namespace velrun
