#pragma once

#include <cstdint>

#include "registration/Star.h"

namespace velreg {

// Pattern sizes the run pipeline uses: plain and radial alignment, and the displacement grid,
// which needs more stars spread more evenly.
constexpr int32_t kPatternStars = 300;
constexpr int32_t kPatternGrid = 8;
constexpr int32_t kGridPatternStars = 450;
constexpr int32_t kGridPatternGrid = 10;

// Chooses up to about `starLimit` bright stars spread over a gridSize × gridSize grid of the frame
// and describes each by its 20 nearest neighbours (among at most 2048 stars). Fewer than 3 stars
// give an empty pattern. Descriptors are built on the process pool.
StarPattern buildStarPattern(const StarList& stars, int32_t width, int32_t height, int32_t starLimit,
                             int32_t gridSize);

}  // namespace velreg
