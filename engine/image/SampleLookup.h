#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velimage {

// Decoding tables applied to whole rows. Table lookups defeat the compiler's vectoriser, so the
// row loops have hand-written vector versions, chosen once by what the processor offers.

// A 16-bit curve for mapThroughCurve: 65536 entries plus one padding entry (a copy of the last),
// because the vector loads fetch two neighbouring entries at a time.
constexpr size_t kCurveEntries = 65537;

// out[i] = table[in[i]] for i < count. `out` may start at `in` (a row widened in place, its 8-bit
// samples in the first half of the 16-bit row); otherwise the two must not overlap.
void widenThroughTable(const uint8_t* in, uint16_t* out, size_t count, const std::array<uint16_t, 256>& table);

// out[i] = curve[in[i]] for i < count; `curve` holds kCurveEntries entries. `out` may be `in`;
// otherwise the two must not overlap. `in` need not be aligned.
void mapThroughCurve(const uint16_t* in, uint16_t* out, size_t count, const uint16_t* curve);

// Every version this processor can run, the plain one first, so that tests cover them all.
struct SampleLookupVersion {
    const char* name;
    void (*widen)(const uint8_t*, uint16_t*, size_t, const std::array<uint16_t, 256>&);
    void (*map)(const uint16_t*, uint16_t*, size_t, const uint16_t*);
};
std::vector<SampleLookupVersion> sampleLookupVersions();

}  // namespace velimage
