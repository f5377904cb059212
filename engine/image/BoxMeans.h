#pragma once

#include <cstdint>

namespace velimage {

// Box means of a plane of 32-bit values: target(x, y) = floor(sum / count) over the square of
// half-size r about (x, y) cut at the image border, with 64-bit sums: exactly the means an
// IntegralImage gives, at a fraction of its memory traffic. Running sums along each row and down
// the columns make every pixel cost the same whatever r; row bands run on the process pool.
// `source` and `target` are width × height, contiguous, and must not overlap.
void boxMeans(const uint32_t* source, uint32_t* target, int32_t width, int32_t height, int32_t r);

}  // namespace velimage
