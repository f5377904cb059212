#pragma once

#include <array>
#include <cstdint>

#include "image/Image.h"

namespace veltone {

// Replacement values for a defective pixel from its surroundings: the surface
// f(x, y) = p0·x + p1·y + p2·x·y + p3 is fitted by least squares to the 16 samples of the ring of
// the 5 × 5 block around the pixel (the block without its inner 3 × 3), x and y the offsets −2..2.
// The noise image's hot-pixel marking, the noise subtraction's patch and the dynamic hot-pixel
// removal all patch through it.
class RingFit {
public:
    static constexpr int32_t kRingSize = 16;

    // The process-wide fit, built once on first use; safe to use from any thread.
    static const RingFit& instance();

    // Offsets (dx, dy) of the ring samples, in the order of the matrix columns.
    const std::array<std::array<int8_t, 2>, kRingSize>& ring() const { return m_ring; }
    // The 4 × 16 least-squares solution: coefficient k = Σ matrix[k][i] · ring sample i.
    const std::array<std::array<float, kRingSize>, 4>& matrix() const { return m_matrix; }

    // Fits channel `channel` around (x, y), which lies at least 2 pixels inside `image`, and writes
    // the fitted values of the inner 3 × 3 block, rows dy = −1..1 of dx = −1..1 (the centre, p3, is
    // index 4), as trunc(value + 0.5) clamped to 0..65535.
    void fitInner(const velimage::Image16& image, int32_t x, int32_t y, int32_t channel, uint16_t inner[9]) const;
    // Writes values from fitInner into the inner block of channel `channel` around (x, y).
    static void writeInner(velimage::Image16& image, int32_t x, int32_t y, int32_t channel, const uint16_t inner[9]);
    // The same fit written straight into the inner block of `image`; `skipCentre` leaves the pixel.
    void patch(velimage::Image16& image, int32_t x, int32_t y, int32_t channel, bool skipCentre) const;

private:
    RingFit();

    std::array<std::array<int8_t, 2>, kRingSize> m_ring{};
    std::array<std::array<float, kRingSize>, 4> m_matrix{};
    // Weights of the ring samples for each inner value (matrix folded with the inner offsets).
    std::array<std::array<float, kRingSize>, 9> m_innerWeights{};
};

}  // namespace veltone
