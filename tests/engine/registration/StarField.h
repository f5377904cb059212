#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "image/Image.h"
#include "registration/Star.h"

namespace regtest {

struct TrueStar {
    double x = 0;
    double y = 0;
    double amplitude = 0;  // peak above the background, 16-bit units per channel
};

struct Point {
    double x = 0;
    double y = 0;
};

using PointMap = std::function<Point(Point)>;

// Random stars at least `spacing` pixels apart inside [x0, x1) × [y0, y1), deterministic by seed.
// Amplitudes spread between minAmplitude and maxAmplitude, most of them faint.
std::vector<TrueStar> randomStars(int32_t count, double x0, double y0, double x1, double y1, double spacing,
                                  uint32_t seed, double minAmplitude = 12000, double maxAmplitude = 50000);

// Three-channel frame: flat background plus circular Gaussian stars (sigma in pixels), clipped to 16 bits.
void renderStars(velimage::Image16& frame, int32_t width, int32_t height, const std::vector<TrueStar>& stars,
                 double background, double sigma);

// Star positions mapped through `map`.
std::vector<TrueStar> mapStars(const std::vector<TrueStar>& stars, const PointMap& map);

// Rotation by `degrees` about `pole`, then a shift.
PointMap rotationAbout(Point pole, double degrees, Point shift);

// Whole-pixel star list (brightness from the amplitude) of the stars inside the frame.
velreg::StarList starList(const std::vector<TrueStar>& stars, int32_t width, int32_t height);

}  // namespace regtest
