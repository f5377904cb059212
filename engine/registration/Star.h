#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace velreg {

// One detected star: whole-pixel position and its detection score (1024 = ratio 1).
struct Star {
    int16_t x = 0;
    int16_t y = 0;
    int32_t brightness = 0;
};

using StarList = std::vector<Star>;

// A star's centre to a fraction of a pixel (pixel centres on whole numbers).
struct SubPixel {
    float x = 0.0f;
    float y = 0.0f;
};

// Offset of a neighbour from the star it describes (neighbour minus star).
struct StarOffset {
    int16_t dx = 0;
    int16_t dy = 0;
};

// A chosen star with the offsets to its nearest neighbours, nearest first. Identity 0 means none;
// non-zero identities are shared with the matching star of earlier patterns.
struct StarDescriptor {
    static constexpr int32_t kMaxNeighbours = 20;

    Star star;
    int32_t neighbourCount = 0;
    std::array<StarOffset, kMaxNeighbours> neighbours{};
    int32_t identity = 0;
};

// The evenly spread choice of a frame's stars that matching works on. Built once per frame and
// read-only afterwards except for the identities.
struct StarPattern {
    std::vector<StarDescriptor> descriptors;  // in order of choice
    int32_t width = 0;                        // frame size the pattern was built for
    int32_t height = 0;
    int32_t offeredCount = 0;  // stars in the list it was built from
    // Sub-pixel centre of each descriptor's star, in descriptor order; empty until measured, NaN
    // for a star that could not be measured (the whole-pixel position stands in for both). Only
    // the transform fits read it.
    std::vector<SubPixel> centres;

    int32_t chosenCount() const { return static_cast<int32_t>(descriptors.size()); }
    bool empty() const { return descriptors.empty(); }
};

}  // namespace velreg
