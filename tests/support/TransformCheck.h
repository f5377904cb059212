#pragma once

#include <array>

namespace veltest {

// How far a reported frame-to-base mapping (x′ = t0·x + t1·y + t2, y′ = t3·x + t4·y + t5) lies
// from the true one (same layout) over the whole frame: root mean square and largest distance, in
// pixels, on a grid of about 40 × 40 points that takes in the edges and corners.
struct MapError {
    double rms = 0.0;
    double worst = 0.0;
};
MapError mapError(const double reported[6], const std::array<double, 6>& truth, int width, int height);

}  // namespace veltest
