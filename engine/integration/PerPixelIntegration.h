#pragma once

#include <cstdint>
#include <vector>

#include "integration/GroundSelection.h"
#include "integration/SkyWeight.h"

namespace velstack {

// One output row of the two-pass integration modes, computed from the same row of every stored
// entry. Each entry row is `width` pixels of R, G, B and the flag word (CoveredFlag, SkyFlag of
// the frame warper). Results go to a three-channel row of 32-bit samples in the 256× working
// scale. A job owns one RowScratch and calls these for its rows; rows of different jobs never
// overlap, so no locking is needed.

// Pixels and entries of the blocks "Select best pixels" orders at once.
constexpr int32_t BlockPixels = 8;
constexpr int32_t BlockEntries = 64;

// Per-job working memory, sized once for the number of stored entries.
class RowScratch {
public:
    explicit RowScratch(size_t entries);
    size_t entries() const { return m_rows.size(); }
    // Pointers to the current row of each entry, filled by the caller.
    const uint16_t** rows() { return m_rows.data(); }

private:
    friend struct RowWork;
    std::vector<const uint16_t*> m_rows;
    std::vector<uint16_t> m_values;  // three channels of every entry
    std::vector<GroundSample> m_samples;
    std::vector<int32_t> m_gaps;
    std::vector<uint16_t> m_block;  // three channels of BlockEntries × BlockPixels values
};

// How the mean of a set of samples is taken.
struct MeanRule {
    bool clipped = true;   // sigma-clipped mean, else the plain mean
    int64_t factor = 32;   // rejection factor D
    int32_t iterations = 3;
};

// "Select best pixels": per channel, the covered samples' sigma-clipped mean where the pixel is sky
// (c = 1), their plain mean where it is ground (c = 0), the blend in between. Row y of the output.
void bestPixelsRow(RowScratch& scratch, int32_t entries, int32_t width, int32_t y, const SkyWeight& sky,
                   int64_t factor, uint32_t* out);

// "Freeze ground": the sky from the star-aligned entries that see sky there, the ground from the
// copies chosen by the ground selection, blended by c. Writes the pixel weights (c, reduced where
// fewer aligned frames cover the sky) and returns the row's largest weight. `markers` holds each
// entry's marker, `baseRow` the base image's row with `baseStride` samples per pixel (R, G, B first).
float freezeGroundRow(RowScratch& scratch, const int32_t* markers, int32_t entries, int32_t width, int32_t y,
                      const uint16_t* baseRow, int32_t baseStride, const SkyWeight& sky, const MeanRule& rule,
                      uint32_t* out, float* weights);

}  // namespace velstack
