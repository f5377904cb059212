#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velimage {

// Decoding tables applied to whole rows. The 256-entry widening table defeats the compiler's
// vectoriser, so it has a hand-written vector version, chosen once by what the processor offers.

// out[i] = table[in[i]] for i < count. `out` may start at `in` (a row widened in place, its 8-bit
// samples in the first half of the 16-bit row); otherwise the two must not overlap.
void widenThroughTable(const uint8_t* in, uint16_t* out, size_t count, const std::array<uint16_t, 256>& table);

// out[i] = curve[in[i]] for i < count; `curve` holds 65536 entries. `out` may be `in`; otherwise
// the two must not overlap.
void mapThroughCurve(const uint16_t* in, uint16_t* out, size_t count, const uint16_t* curve);

// Every version this processor can run, the plain one first, so that tests cover them all.
struct SampleLookupVersion {
    const char* name;
    void (*widen)(const uint8_t*, uint16_t*, size_t, const std::array<uint16_t, 256>&);
};
std::vector<SampleLookupVersion> sampleLookupVersions();

}  // namespace velimage
