#pragma once

#include <string>
#include <vector>

#include "FrameList.h"
#include "Stages.h"

namespace velrun {

// The frames of an output's walk (the reference first) whose reduced copies the estimate keeps.
std::vector<std::wstring> skySampledFrames(const EngineSettings& settings, const std::vector<FrameEntry>& frames);

// The sky mask estimated from the frames of the walk: their reduced copies and transforms.
void addSkyEstimateStages(RunStages& stages);

}  // namespace velrun
