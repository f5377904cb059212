#pragma once

// The element names of a project file and the option table that its writer and reader share.

#include <cstdint>

#include "RunSettings.h"

namespace velapp::projectkeys {

inline constexpr const char* Root = "VelostarProject";
inline constexpr const char* Version = "1.0";
inline constexpr const char* BaseImage = "BaseImage";
inline constexpr const char* StarImage = "StarImage";
inline constexpr const char* NoiseImage = "NoiseImage";
inline constexpr const char* VignettingImage = "VignettingImage";
inline constexpr const char* Output = "Output";
inline constexpr const char* RelativePath = "RelativePath";
inline constexpr const char* AbsolutePath = "AbsolutePath";
inline constexpr const char* StarBound = "StarBound";
inline constexpr const char* GradientRegion = "GradientRegion";
inline constexpr const char* Mask = "Mask";
inline constexpr const char* SkyRegionMode = "SkyRegionMode";
inline constexpr const char* StarBoundKeys[] = {"X1", "Y1", "X2", "Y2"};
inline constexpr const char* GradientKeys[] = {"X1", "Y1", "X2", "Y2", "Height"};

// A switch ("true"/"false") or a number in min..max, with the key it is stored under.
struct Option {
    const char* key;
    bool RunSettings::*flag;
    int32_t RunSettings::*number;
    uint32_t min;
    uint32_t max;
};

constexpr Option flag(const char* key, bool RunSettings::*field) { return Option{key, field, nullptr, 0, 0}; }
constexpr Option number(const char* key, int32_t RunSettings::*field, uint32_t min, uint32_t max)
{
    return Option{key, nullptr, field, min, max};
}

// Written in this order before the sky region...
inline constexpr Option OptionsBeforeSky[] = {
    flag("UnifyExposure", &RunSettings::unifyExposure),
    flag("HomogenizeVignetting", &RunSettings::homogenizeVignetting),
    number("CompositionMode", &RunSettings::compositionMode, 0, 1),
    number("IntegrationMode", &RunSettings::integrationMode, 0, 3),
    number("SigmaIndex", &RunSettings::sigmaIndex, 0, 4),
    flag("FreezeGroundSelective", &RunSettings::freezeGroundSelective),
    flag("DumpAsLinear", &RunSettings::dumpAsLinear),
    flag("TrailsMotionEffect", &RunSettings::trailsMotionEffect),
    flag("AutoBrightness", &RunSettings::autoBrightness),
    flag("HDR", &RunSettings::hdr),
    flag("RemoveHotPixels", &RunSettings::removeHotPixels),
    flag("MergePixels", &RunSettings::mergePixels),
    number("DistortionCorrection", &RunSettings::distortionCorrection, 0, 2),
    flag("ReducePollution", &RunSettings::reducePollution),
    number("ReducePollutionMode", &RunSettings::reducePollutionMode, 0, 1),
    number("ReducePollutionStrength", &RunSettings::reducePollutionStrength, 0, 4),
    flag("AggressiveSuppression", &RunSettings::aggressiveSuppression),
    flag("EnhanceStars", &RunSettings::enhanceStars),
    number("EnhanceStarsStrength", &RunSettings::enhanceStarsStrength, 0, 4),
};

// ...and after it (the time-lapse frame count is a spin value of 2..30).
inline constexpr Option OptionsAfterSky[] = {
    flag("TimeLapse", &RunSettings::timeLapse),
    number("TimeLapseFrames", &RunSettings::timeLapseFrames, 2, 30),
    number("ColorSpace", &RunSettings::colorSpace, 0, 2),
};

// Keys written by earlier versions, read as the options they meant.
inline constexpr Option LegacyOptions[] = {
    flag("HomogenetizeVignetting", &RunSettings::homogenizeVignetting),
    number("DistrotionCorrection", &RunSettings::distortionCorrection, 0, 2),
};

inline constexpr uint32_t SkyRegionModeMax = 3;

}  // namespace velapp::projectkeys
