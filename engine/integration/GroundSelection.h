#pragma once

#include <cstdint>

namespace velstack {

// Marker bits of one pixel sample in "Freeze ground": the stored entry's marker (3 base, 2
// star-aligned, 1 unaligned copy) plus SkyBit where the entry sees sky at the pixel.
constexpr uint16_t UnalignedBit = 1;
constexpr uint16_t AlignedBit = 2;
constexpr uint16_t SkyBit = 4;

// One covered sample of a pixel with its brightness key K = 2·R + 4·G + B.
struct GroundSample {
    uint16_t rgb[3];
    uint16_t marker;
    int32_t key;
};

inline int32_t brightnessKey(uint32_t r, uint32_t g, uint32_t b) { return static_cast<int32_t>(2 * r + 4 * g + b); }

// Picks the samples that show the ground at one pixel: whichever of the aligned or the unaligned
// copies agree better with the base image, widened by the samples that continue their spread,
// and the unaligned copies when the pick is darker than a regular dark reference. Reorders
// `samples` so that the chosen ones come first and returns how many they are. `entries` is the
// number of stored entries; `baseKey` the base image's key at the pixel; `gaps` scratch of at
// least `count` values (allocated once per job, not per pixel).
int32_t selectGround(GroundSample* samples, int32_t count, int32_t entries, int32_t baseKey, int32_t* gaps);

}  // namespace velstack
