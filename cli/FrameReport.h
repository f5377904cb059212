#pragma once

#include <string>

#include <nlohmann/json.hpp>

class Velostar;

namespace velcli {

// {"result": R, "frames": [{"file", "reference", "stars", "patternStars", "pairs", "transform", "used"}]}
// from the engine's per-frame reports after run(); `transform` is null for frames not aligned.
nlohmann::json buildFrameReport(Velostar& engine, int result);

// Writes the report; returns false and sets `error` when the file cannot be written.
bool writeFrameReport(const std::string& path, const nlohmann::json& report, std::string& error);

}  // namespace velcli
