#pragma once

#include <cstdint>
#include <string>

namespace velfile {

// Folder of `outputPath` + "Vel" + counter (at least 5 digits) + `suffix`, skipping names that
// exist. `counter` is the engine's file counter; it advances after every attempt.
std::wstring uniqueName(const std::wstring& outputPath, const std::wstring& suffix, uint32_t& counter);

}  // namespace velfile
