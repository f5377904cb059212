#pragma once

#include <string>
#include <vector>

#include "CliOptions.h"
#include "MaskPng.h"

class Velostar;

namespace velcli {

// Paths as the engine receives them: absolute, in the order given, the base image left out of
// the star list when it was also named there.
struct RunPaths {
    std::wstring base;
    std::vector<std::wstring> stars;
    std::vector<std::wstring> noise;
    std::vector<std::wstring> vignetting;
    std::wstring output;
};

RunPaths resolvePaths(const CliOptions& options);

// Hands every path and option to the engine in the order the desktop program uses, so that both
// hosts drive the engine the same way. `mask` (may be null) must outlive the engine's run.
void configureEngine(Velostar& engine, const CliOptions& options, const RunPaths& paths, const MaskImage* mask);

}  // namespace velcli
