#pragma once

#include <cstdint>

#include "image/Image.h"

namespace veltone {

// The soft sky mask of a painted sky mask (one channel, 0 ground .. 65535 sky): sky pixels with
// ground within R = max(1, min(W, H) / q) are cleared, the rest blurred by box means of radius R,
// then four times by radius R / 4 where non-zero, then `passes` 3 × 3 binomial blurs, into `soft`.
// False, with `soft` untouched, for a mask that is smaller than 2 × 2 or not one channel, or q ≤ 0.
bool makeSoftSkyMask(const velimage::Image16& mask, int32_t q, int32_t passes, velimage::Image16& soft);

}  // namespace veltone
