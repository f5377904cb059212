#pragma once

#include <cstdint>
#include <vector>

#include "registration/Star.h"
#include "registration/StarDetector.h"

namespace velreg {

// One row of the detection table: box radius for the background mean, the two means and the ratio
// thresholds there (1024 = ratio 1).
struct DetectionLevel {
    int32_t boxRadius;
    int64_t lowMean;
    int64_t highMean;
    int64_t lowThreshold;
    int64_t highThreshold;
};

// The table row of a detection level (0, or 1 for any higher one).
const DetectionLevel& detectionLevel(int32_t level);

// Turns the pixels left clear by the suppression into stars: a pixel is one when its ratio clears
// the threshold of its background (the box mean of the level) or its inner square stands at least
// 32 luminance levels above its ring. Reads the detector's luminance, ratio and not-a-star planes;
// one extractor per thread.
class StarExtractor {
public:
    StarExtractor(const StarDetector::Planes& planes, int32_t r0, int32_t r1, int32_t margin,
                  const DetectionLevel& level);

    // Appends the stars of rows [begin, end), in row order and left to right. A row's clear pixels
    // must be settled: once a row's own suppression is done nothing clears them any more.
    void rows(int32_t begin, int32_t end, StarList& stars);

private:
    const StarDetector::Planes& m_planes;
    int32_t m_r0;
    int32_t m_r1;
    int32_t m_margin;
    const DetectionLevel& m_level;
    int32_t m_reach;               // largest square radius read
    std::vector<int64_t> m_sums;   // square sums of radius 0 … reach around one pixel
};

}  // namespace velreg
