#pragma once

#include <cstdint>
#include <vector>

// Every option of one engine object, with its default at construction. Plain values: nothing is
// interpreted until run(). Paths point into the engine's owned copies.
struct EngineSettings {
    std::vector<const wchar_t*> starImages;  // front entry is the base image
    std::vector<const wchar_t*> noiseImages;
    std::vector<const wchar_t*> vignettingImages;
    const wchar_t* outputPath = nullptr;

    bool unifyExposure = false;
    bool homogenizeVignetting = false;
    int32_t compositionMode = 0;  // 0 align stars, 1 trails
    int32_t integrationMode = 0;  // 0 accumulation, 1 select best pixels, 2 freeze ground, 3 align only
    float sigma = 2.0f;
    bool freezeGroundSelective = false;
    bool dumpAsLinear = true;
    bool trailsMotionEffect = false;
    bool autoBrightness = false;
    bool hdr = false;
    bool removeHotPixels = true;
    int32_t distortionCorrection = 0;  // 0 none, 1 simple, 2 complex
    int32_t reducePollutionKind = 0;   // 0 off, 1 normal, 2 second kind
    int32_t reducePollutionStrength = 0;
    bool aggressiveSuppression = false;
    float enhanceStarsFactor = 0.0f;
    bool mergePixels = false;
    uint64_t timeLapseFrames = 0;
    int32_t colorSpace = 0;

    float starBoundFraction[4] = {0, 0, 0, 0};  // x0, y0, width, height
    int32_t starBoundPixels[4] = {0, 0, 0, 0};
    float gradientFraction[4] = {0, 0, 0, 0};
    float gradientExtentFraction = 0.0f;
    int32_t gradientPixels[4] = {0, 0, 0, 0};
    int32_t gradientExtentPixels = 0;

    const uint8_t* maskRgb = nullptr;  // caller-owned, width × height × 3 bytes
    int32_t maskWidth = 0;
    int32_t maskHeight = 0;

    // The sky mask is estimated from the frames. An "Align stars" run estimates it during its own
    // walk and ignores a painted one; trails estimate first and use the result as painted.
    bool autoSkyMask = false;
    // The walk only loads, calibrates and registers the frames for the estimate: no composition,
    // no integration, no output.
    bool estimateOnly = false;

    bool hasMask() const { return maskRgb && maskWidth > 0 && maskHeight > 0; }
    bool estimatesSkyMask() const { return autoSkyMask && compositionMode == 0; }
    bool usesPaintedMask() const { return hasMask() && !estimatesSkyMask(); }
    bool alignStars() const { return compositionMode == 0; }
    bool trails() const { return compositionMode == 1; }
    // Select best pixels and freeze ground integrate every frame per pixel in a second pass.
    bool twoPassIntegration() const { return compositionMode == 0 && (integrationMode == 1 || integrationMode == 2); }
    // Time-lapse windows apply only where a window of frames makes one output.
    bool timeLapseActive() const
    {
        const uint64_t n = starImages.size();
        return timeLapseFrames >= 2 && timeLapseFrames < n && !(compositionMode == 0 && integrationMode == 3) &&
               !(compositionMode == 1 && !trailsMotionEffect);
    }
};
