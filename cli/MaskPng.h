#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velcli {

// A painted sky mask as the engine takes it: 8-bit RGB, rows from the top. The engine keeps a
// pointer to `rgb` until run() returns, so the object must outlive the run.
struct MaskImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// Reads any PNG (grey, palette, 16-bit, with alpha: transparent counts as black).
// Throws std::runtime_error with the reason on failure.
MaskImage loadMaskPng(const std::string& path);

}  // namespace velcli
