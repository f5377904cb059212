#pragma once

#include <string>

class Velostar;

namespace velcli {

// Writes the sky mask of the engine's last run to `path` as an RGB PNG, white sky on black ground
// with the soft edge in grey, the form --mask and the desktop program's brush read. False with
// the one-line reason when the run had no mask or the file could not be written.
bool saveSkyMask(Velostar& engine, const std::string& path, std::string& error);

// The warning for a run whose estimate saw no star move, else empty.
std::string skyMaskWarning(Velostar& engine);

}  // namespace velcli
