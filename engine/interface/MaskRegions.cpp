#include "MaskRegions.h"

namespace velrun {

int32_t rotationFromOrientation(int32_t orientation)
{
    switch (orientation) {
    case 3: return 2;
    case 6: return 1;
    case 8: return 3;
    default: return 0;
    }
}

void lineToPixels(const float f[4], int32_t r, int32_t width, int32_t height, int32_t pixels[4])
{
    float x0 = f[0], y0 = f[1], w = f[2], h = f[3];
    switch (r) {
    case 1: x0 = f[1]; y0 = 1.0f - f[0]; w = f[3]; h = -f[2]; break;
    case 2: x0 = 1.0f - f[0]; y0 = 1.0f - f[1]; w = -f[2]; h = -f[3]; break;
    case 3: x0 = 1.0f - f[1]; y0 = f[0]; w = -f[3]; h = f[2]; break;
    default: break;
    }
    const auto px = [&](float v, int32_t size) { return static_cast<int32_t>(v * static_cast<float>(size) + 0.5f); };
    pixels[0] = px(x0, width);
    pixels[1] = px(y0, height);
    pixels[2] = px(w, width);
    pixels[3] = px(h, height);
}

void regionsForFrame(const EngineSettings& s, int32_t r, int32_t width, int32_t height, int32_t starBound[4],
                     int32_t gradient[4], int32_t& gradientExtent)
{
    if (s.starBoundFraction[2] != 0.0f || s.starBoundFraction[3] != 0.0f)
        lineToPixels(s.starBoundFraction, r, width, height, starBound);
    else
        for (int i = 0; i < 4; ++i)
            starBound[i] = s.starBoundPixels[i];

    if (s.gradientFraction[2] != 0.0f || s.gradientFraction[3] != 0.0f)
        lineToPixels(s.gradientFraction, r, width, height, gradient);
    else
        for (int i = 0; i < 4; ++i)
            gradient[i] = s.gradientPixels[i];

    if (s.gradientExtentFraction > 0.0f) {
        const int32_t across = (r == 1 || r == 3) ? width : height;
        gradientExtent = static_cast<int32_t>(s.gradientExtentFraction * static_cast<float>(across) + 0.5f);
    } else {
        gradientExtent = s.gradientExtentPixels;
    }
}

}  // namespace velrun
