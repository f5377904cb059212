#include "EngineSetup.h"

#include <algorithm>

#include "Velostar.h"

namespace velapp {

namespace {

constexpr float kSigmas[] = {3.3f, 2.5f, 2.0f, 1.7f, 1.4f};
constexpr float kEnhanceFactors[] = {1.2f, 1.5f, 1.8f, 2.2f, 2.6f};

int clampIndex(int index) { return std::clamp(index, 0, 4); }

void configurePaths(Velostar& engine, const RunSettings& settings)
{
    if (settings.baseImage)
        engine.setBaseImage(settings.baseImage->c_str());
    for (const auto& path : settings.starImages)
        engine.addStarImage(path.c_str());
    for (const auto& path : settings.noiseImages)
        engine.addNoiseImage(path.c_str());
    for (const auto& path : settings.vignettingImages)
        engine.addVignettingImage(path.c_str());
}

void configureSkyRegion(Velostar& engine, const RunSettings& settings)
{
    switch (settings.skyRegionMode) {
    case SkyRegionMode::BoundaryLine:
        if (settings.starBoundSet()) {
            const auto& b = settings.starBound;
            engine.setStarBound(b[0], b[1], b[2], b[3]);
        }
        break;
    case SkyRegionMode::Gradient:
        if (settings.gradientSet()) {
            const auto& g = settings.gradient;
            // The gradient's start line also bounds star detection.
            engine.setStarBound(g[0], g[1], g[2], g[3]);
            engine.setGradientRegion(g[0], g[1], g[2], g[3], g[4]);
        }
        break;
    case SkyRegionMode::IrregularMask:
        if (settings.skyMask.valid())
            engine.setMask(settings.skyMask.rgb.data(), settings.skyMask.width, settings.skyMask.height);
        break;
    case SkyRegionMode::None:
        break;
    }
}

}  // namespace

float sigmaForIndex(int index) { return kSigmas[clampIndex(index)]; }

float enhanceFactorForIndex(int index) { return kEnhanceFactors[clampIndex(index)]; }

void configureEngine(Velostar& engine, const RunSettings& settings)
{
    configurePaths(engine, settings);
    engine.setUnifyExposure(settings.unifyExposure);
    engine.setHomogenizeVignetting(settings.homogenizeVignetting);
    if (settings.output)
        engine.setOutputFile(settings.output->c_str());
    engine.setCompositionMode(settings.compositionMode == 1 ? 1 : 0);
    if (settings.starImages.empty())
        engine.setIntegrationMode(0);
    const int mode = settings.integrationMode;
    engine.setIntegrationMode(mode >= 1 && mode <= 3 ? mode : 0);
    engine.setFreezeGroundSelective(settings.freezeGroundSelective);
    engine.setDumpAsLinear(settings.dumpAsLinear);
    engine.setTrailsMotionEffect(settings.trailsMotionEffect);
    engine.setSigma(sigmaForIndex(settings.sigmaIndex));
    engine.setAutoBrightness(settings.autoBrightness);
    engine.setHDR(settings.hdr);
    engine.setRemoveHotPixels(settings.removeHotPixels);
    engine.setMergePixels(settings.mergePixels);
    const bool timeLapse = settings.timeLapseApplies() && settings.timeLapseFrames > 0;
    engine.setTimeLapseFrames(timeLapse ? static_cast<unsigned>(settings.timeLapseFrames) : 0u);
    const int strength = clampIndex(settings.reducePollutionStrength) - 2;
    if (settings.reducePollution && settings.reducePollutionMode == 0)
        engine.setReducePollution(1, strength);
    else if (settings.reducePollution && settings.reducePollutionMode == 1)
        engine.setReducePollution(2, strength);
    else
        engine.clearReducePollution();
    engine.setAggressiveSuppression(settings.aggressiveSuppression);
    if (settings.enhanceStars)
        engine.setEnhanceStars(enhanceFactorForIndex(settings.enhanceStarsStrength));
    const int distortion = settings.distortionCorrection;
    engine.setDistortionCorrection(distortion == 1 || distortion == 2 ? distortion : 0);
    const int colorSpace = settings.colorSpace;
    engine.setColorSpace(colorSpace == 1 || colorSpace == 2 ? colorSpace : 0);
    configureSkyRegion(engine, settings);
}

}  // namespace velapp
