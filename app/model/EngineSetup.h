#pragma once

#include "RunSettings.h"

class Velostar;

namespace velapp {

// Hands every path and option of `settings` to a fresh engine, in the order the engine expects
// (paths first, the output, then the options, the sky region last). UI thread only. The sky mask
// bytes stay borrowed from `settings` until the run ends.
void configureEngine(Velostar& engine, const RunSettings& settings);

// Slider positions 0..4 to engine values; out-of-range positions are clamped.
float sigmaForIndex(int index);
float enhanceFactorForIndex(int index);

}  // namespace velapp
