#include "ProjectOptions.h"

#include <algorithm>

#include "EngineSetup.h"
#include "ProjectFile.h"
#include "StartCheck.h"
#include "WideText.h"

namespace velcli {

namespace {

std::vector<std::string> narrowed(const std::vector<std::wstring>& paths)
{
    std::vector<std::string> out;
    for (const auto& path : paths)
        out.push_back(narrow(path.c_str()));
    return out;
}

// The region the desktop program's Start takes: that of the tool the load selected, the brush
// holding the project's mask.
void setSkyRegion(const velapp::LoadedProject& project, CliOptions& o)
{
    const velapp::RunSettings& s = project.settings;
    velapp::SkyRegionState sky;
    sky.tool = project.tool;
    sky.maskPainted = !project.maskFile.empty();
    switch (velapp::skyRegionMode(sky, s)) {
    case velapp::SkyRegionMode::BoundaryLine: o.boundary = s.starBound; break;
    case velapp::SkyRegionMode::Gradient: o.gradient = s.gradient; break;
    case velapp::SkyRegionMode::IrregularMask: o.mask = narrow(project.maskFile.c_str()); break;
    case velapp::SkyRegionMode::None: break;
    }
}

}  // namespace

bool optionsFromProject(const std::string& path, CliOptions& o, std::string& error)
{
    velapp::LoadedProject project;
    std::string reason;
    if (!velapp::loadProject(widen(path), project, &reason)) {
        error = path + ": cannot open the project: " + reason;
        return false;
    }
    const velapp::RunSettings& s = project.settings;
    const velapp::FileTreeModel& files = project.files;
    o = CliOptions();
    o.project = path;
    const velapp::RunFiles run = velapp::runFiles(files, s.compositionMode);
    if (run.base)
        o.base = narrow(run.base->c_str());
    o.stars = narrowed(run.stars);
    o.noise = narrowed(files.list(velapp::Category::Noise).files());
    o.vignetting = narrowed(files.list(velapp::Category::Vignetting).files());
    if (files.output())
        o.output = narrow(files.output()->c_str());

    // The desktop program's slider positions and switches, as the engine receives them from it.
    o.trails = s.compositionMode == 1;
    o.integrationMode = s.integrationMode;
    o.sigma = velapp::sigmaForIndex(s.sigmaIndex);
    o.freezeSelective = s.freezeGroundSelective;
    o.dumpAsLinear = s.dumpAsLinear;
    o.motionEffect = s.trailsMotionEffect;
    o.autoBrightness = s.autoBrightness;
    o.hdr = s.hdr;
    o.mergePixels = s.mergePixels;
    o.unifyExposure = s.unifyExposure;
    o.homogenize = s.homogenizeVignetting;
    o.removeHotPixels = s.removeHotPixels;
    o.pollutionKind = s.reducePollution && (s.reducePollutionMode == 0 || s.reducePollutionMode == 1)
                          ? s.reducePollutionMode + 1
                          : 0;
    o.pollutionStrength = std::clamp(s.reducePollutionStrength, 0, 4) - 2;
    o.aggressive = s.aggressiveSuppression;
    o.enhanceStars = s.enhanceStars ? velapp::enhanceFactorForIndex(s.enhanceStarsStrength) : 0.0f;
    o.distortion = s.distortionCorrection;
    o.timeLapse = s.timeLapse && s.timeLapseFrames > 0 ? static_cast<unsigned>(s.timeLapseFrames) : 0u;
    o.colorSpace = s.colorSpace;
    setSkyRegion(project, o);
    return true;
}

}  // namespace velcli
