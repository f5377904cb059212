#pragma once

#include <cstdint>

#include "SkyGenerator.h"

namespace veltest {

// A small landscape series: a rotating, dense star field over a static, textured ground with a
// satellite in frame 3, and no hot pixels. Tests change what they are about from here.
inline velsky::SkyOptions smallLandscape(uint64_t seed, int frames)
{
    velsky::SkyOptions o;
    o.width = 600;
    o.height = 400;
    o.frames = frames;
    o.seed = seed;
    o.threads = 2;
    o.skyLevel = 1000.0;
    o.pollution = 0.5;
    o.magnitudeRange = 6.0;
    o.starsPerMegapixel = 2500.0;
    o.hotPixelsPerMegapixel = 0.0;
    o.rotationPerFrameDeg = 0.3;
    o.foreground = true;
    o.satelliteFrame = 3;
    return o;
}

}  // namespace veltest
