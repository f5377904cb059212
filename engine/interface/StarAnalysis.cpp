#include "StarAnalysis.h"

namespace velrun {

StarAnalysis* starAnalysisOf(FrameAnalysis* analysis) { return dynamic_cast<StarAnalysis*>(analysis); }

const StarAnalysis* starAnalysisOf(const FrameAnalysis* analysis)
{
    return dynamic_cast<const StarAnalysis*>(analysis);
}

}  // namespace velrun
