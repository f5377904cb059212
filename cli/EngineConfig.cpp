#include "EngineConfig.h"

#include <filesystem>

#include "Velostar.h"
#include "WideText.h"

namespace velcli {

namespace {

std::string absolutePath(const std::string& path)
{
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

std::wstring enginePath(const std::string& path) { return widen(absolutePath(path)); }

}  // namespace

RunPaths resolvePaths(const CliOptions& o)
{
    RunPaths paths;
    paths.base = enginePath(o.base);
    for (const auto& star : o.stars) {
        // "BASE frames/*" names the base twice; it is the reference, not an extra frame.
        auto path = enginePath(star);
        if (path != paths.base)
            paths.stars.push_back(std::move(path));
    }
    for (const auto& file : o.noise)
        paths.noise.push_back(enginePath(file));
    for (const auto& file : o.vignetting)
        paths.vignetting.push_back(enginePath(file));
    paths.output = enginePath(o.output);
    return paths;
}

void configureEngine(Velostar& engine, const CliOptions& o, const RunPaths& paths, const MaskImage* mask)
{
    engine.setBaseImage(paths.base.c_str());
    for (const auto& path : paths.stars)
        engine.addStarImage(path.c_str());
    for (const auto& path : paths.noise)
        engine.addNoiseImage(path.c_str());
    for (const auto& path : paths.vignetting)
        engine.addVignettingImage(path.c_str());
    engine.setUnifyExposure(o.unifyExposure);
    engine.setHomogenizeVignetting(o.homogenize);
    engine.setOutputFile(paths.output.c_str());
    engine.setCompositionMode(o.trails ? 1 : 0);
    if (paths.stars.empty())
        engine.setIntegrationMode(0);
    engine.setIntegrationMode(o.integrationMode >= 1 && o.integrationMode <= 3 ? o.integrationMode : 0);
    engine.setFreezeGroundSelective(o.freezeSelective);
    engine.setDumpAsLinear(o.dumpAsLinear);
    engine.setTrailsMotionEffect(o.motionEffect);
    engine.setSigma(o.sigma);
    engine.setAutoBrightness(o.autoBrightness);
    engine.setHDR(o.hdr);
    engine.setRemoveHotPixels(o.removeHotPixels);
    engine.setMergePixels(o.mergePixels);
    // Time-lapse has no meaning for aligned-only frames or for trails without the motion effect.
    const bool alignOnly = !o.trails && o.integrationMode == 3;
    const bool plainTrails = o.trails && !o.motionEffect;
    engine.setTimeLapseFrames(o.timeLapse > 0 && !alignOnly && !plainTrails ? o.timeLapse : 0);
    if (o.pollutionKind == 1 || o.pollutionKind == 2)
        engine.setReducePollution(o.pollutionKind, o.pollutionStrength);
    else
        engine.clearReducePollution();
    engine.setAggressiveSuppression(o.aggressive);
    if (o.enhanceStars > 0.0f)
        engine.setEnhanceStars(o.enhanceStars);
    engine.setDistortionCorrection(o.distortion == 1 || o.distortion == 2 ? o.distortion : 0);
    engine.setColorSpace(o.colorSpace == 1 || o.colorSpace == 2 ? o.colorSpace : 0);
    if (o.autoMask) {
        engine.setAutoSkyMask(true);
    } else if (o.boundary) {
        const auto& b = *o.boundary;
        if (b[0] != b[2] || b[1] != b[3])
            engine.setStarBound(b[0], b[1], b[2], b[3]);
    } else if (o.gradient) {
        const auto& g = *o.gradient;
        if ((g[0] != g[2] || g[1] != g[3]) && g[4] > 0.0f) {
            engine.setStarBound(g[0], g[1], g[2], g[3]);
            engine.setGradientRegion(g[0], g[1], g[2], g[3], g[4]);
        }
    } else if (mask && mask->width > 0 && mask->height > 0) {
        engine.setMask(mask->rgb.data(), mask->width, mask->height);
    }
}

}  // namespace velcli
