#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Everything a run needs: the inputs collected in the main window and every option. Owned by the
// main window (UI thread); a run reads it once, on the UI thread, before its worker starts.
namespace velapp {

enum class SkyRegionMode : int32_t { None = 0, BoundaryLine = 1, Gradient = 2, IrregularMask = 3 };

// The painted sky mask as 8-bit RGB rows; the engine borrows the bytes for the whole run.
struct MaskImage {
    std::vector<uint8_t> rgb;
    int32_t width = 0;
    int32_t height = 0;

    bool valid() const
    {
        return width > 0 && height > 0 && rgb.size() == static_cast<size_t>(width) * height * 3;
    }
    void clear() { *this = MaskImage(); }
};

struct RunSettings {
    // Full paths; filled from the file tree when a run starts.
    std::optional<std::wstring> baseImage;
    std::vector<std::wstring> starImages;
    std::vector<std::wstring> noiseImages;
    std::vector<std::wstring> vignettingImages;
    std::optional<std::wstring> output;

    bool unifyExposure = false;
    bool homogenizeVignetting = false;
    int32_t compositionMode = 0;   // 0 "Align stars", 1 "Trails"
    int32_t integrationMode = 0;   // 0 accumulation, 1 select best pixels, 2 freeze ground, 3 align only
    bool freezeGroundSelective = true;
    bool dumpAsLinear = true;
    bool trailsMotionEffect = false;
    bool autoBrightness = false;
    bool hdr = false;
    bool removeHotPixels = false;
    bool mergePixels = false;
    bool reducePollution = false;
    int32_t reducePollutionMode = 1;      // 0 "Deep sky", 1 "Uneven"
    int32_t reducePollutionStrength = 2;  // slider position 0..4
    bool aggressiveSuppression = false;
    bool enhanceStars = false;
    int32_t enhanceStarsStrength = 3;     // slider position 0..4
    int32_t sigmaIndex = 2;               // slider position 0..4
    int32_t distortionCorrection = 0;     // 0 off, 1 "Tele", 2 "Complex"
    bool timeLapse = false;
    int32_t timeLapseFrames = 5;
    int32_t colorSpace = 0;               // 0 sRGB, 1 Adobe RGB, 2 linear
    SkyRegionMode skyRegionMode = SkyRegionMode::None;
    std::array<float, 4> starBound{};     // x0, y0, x1, y1 as fractions of the image
    std::array<float, 5> gradient{};      // x0, y0, x1, y1, height
    MaskImage skyMask;

    // Time-lapse counts unless every frame is its own output anyway ("Align only") or trails
    // are composed without the motion effect.
    bool timeLapseApplies() const
    {
        return timeLapse && !(compositionMode == 0 && integrationMode == 3) &&
               !(compositionMode == 1 && !trailsMotionEffect);
    }
    bool starBoundSet() const { return starBound[0] != starBound[2] || starBound[1] != starBound[3]; }
    bool gradientSet() const
    {
        return (gradient[0] != gradient[2] || gradient[1] != gradient[3]) && gradient[4] > 0.0f;
    }
};

}  // namespace velapp
