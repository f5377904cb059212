#pragma once

#include <cstdint>

namespace velstack {

// Per-pixel statistics of the two-pass integration modes. Results are in the 256× working scale.
// Pure functions; any thread may call them.

// Rejection factor D = round(8·σ²) in 32-bit floats: a value is rejected when it lies more than σ
// sample standard deviations from the median.
int32_t rejectionFactor(float sigma);
// The factor "Freeze ground" always uses with sigma clipping (σ = 2).
constexpr int32_t FreezeGroundRejectionFactor = 32;
constexpr int32_t MaxClippingIterations = 3;

// floor(256·Σv / n); 0 for an empty set.
uint32_t plainMean(const uint16_t* values, int32_t count);

// Mean of the values kept after at most `maxIterations` rounds of median-centred rejection, times
// 256 (floor). Rounds run while more than 3 values are left and stop when one rejects nothing.
// Reorders `values` in place: the kept ones end up in front. 0 for an empty set.
uint32_t sigmaClippedMean(uint16_t* values, int32_t count, int64_t factor, int32_t maxIterations);

// Up to this many values are clipped by ordering them once; more go through median selection.
// Both give the same kept values, hence the same mean.
constexpr int32_t OrderedClippingLimit = 48;
// The same for values already in ascending order, which are left as they are.
uint32_t sigmaClippedMeanOfOrdered(const uint16_t* ordered, int32_t count, int64_t factor, int32_t maxIterations);
// The selection-based rounds for any count (the reference the ordered rounds must match).
uint32_t sigmaClippedMeanBySelection(uint16_t* values, int32_t count, int64_t factor, int32_t maxIterations);

}  // namespace velstack
