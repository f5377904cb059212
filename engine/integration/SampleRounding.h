#pragma once

#include <cstdint>

namespace velstack {

// Half-up rounding of a non-negative float product into a 32-bit sample. The +0.5 is added in
// double: in float it would round odd values above 2^23 to the next even one (0xFFFFFF would
// become 0x1000000). NaN and negatives give 0, values beyond the 32-bit range saturate.
inline uint32_t roundHalfUp(float value)
{
    if (!(value > 0.0f))
        return 0;
    const double rounded = static_cast<double>(value) + 0.5;
    if (rounded >= 4294967295.0)
        return UINT32_MAX;
    return static_cast<uint32_t>(rounded);
}

}  // namespace velstack
