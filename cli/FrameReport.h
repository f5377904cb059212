#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class Velostar;

namespace velcli {

// {"result": R, "frames": [{"file", "reference", "stars", "patternStars", "pairs", "transform", "used",
// "reason"}]} from the engine's per-frame reports after run(); `transform` is null for frames not
// aligned, and `reason` (null otherwise) says why.
nlohmann::json buildFrameReport(Velostar& engine, int result);

// One line per star frame that was not aligned: "frame_003.tif not aligned: too few matched pairs".
std::vector<std::string> unalignedFrameLines(Velostar& engine);

// Writes the report; returns false and sets `error` when the file cannot be written.
bool writeFrameReport(const std::string& path, const nlohmann::json& report, std::string& error);

}  // namespace velcli
