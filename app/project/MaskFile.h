#pragma once

#include <string>

#include "RunSettings.h"

// The painted sky mask as a PNG file: the brush mask beside a project, or a mask given to
// velostar-cli. Paths are UTF-8, as the engine takes them. Any thread.
namespace velapp {

// Reads any PNG (grey, palette, 16-bit, with alpha: transparent counts as black) as RGB.
// Throws std::runtime_error with the reason on failure.
MaskImage loadMaskPng(const std::string& path);

// Writes `mask` as an RGB PNG. A failed write leaves `path` as it was.
bool saveMaskPng(const std::string& path, const MaskImage& mask);

}  // namespace velapp
