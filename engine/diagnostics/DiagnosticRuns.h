#pragma once

#include <array>
#include <cstdint>
#include <string>

// The work of the exported self-checks, with the results they otherwise discard.
namespace veldiag {

// Six stars and their images under a 2° turn about (2000, 100).
struct StarDetectOutcome {
    int32_t pairs = 0;           // pairs the match kept
    bool fitted = false;         // the affine fit (with outlier rejection) succeeded
    float transform[6] = {};     // the fit, first stars → turned stars (2 × 3, row-major)
    float expected[6] = {};      // the turn itself
};
StarDetectOutcome runStarDetect();

// Turns `input` (a three-channel JPEG) by 2° and shifts it by (1, 2) pixels into `output`, a JPEG
// of quality 95. False, with nothing written, when the input cannot be read or encoding fails.
// A grey input is not warped: its output is black.
bool runImageTransform(const std::wstring& input, const std::wstring& output);

// Sigma-clipped means (σ = 2, at most 3 rounds) of the two fixed sets of twelve samples.
std::array<uint32_t, 2> runSigmaClipping();

}  // namespace veldiag
