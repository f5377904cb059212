#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace velcli {

// Exit status for bad usage (the BSD "usage" code); other failures return the engine's result code.
constexpr int kUsageExit = 64;

// Everything the command line asks for, with the engine's defaults.
struct CliOptions {
    std::string output;
    std::string base;
    std::vector<std::string> stars;
    std::string project;  // PROJECT.vlp form
    std::vector<std::string> noise;
    std::vector<std::string> vignetting;

    bool trails = false;
    int integrationMode = 0;  // 0 accumulate, 1 select, 2 freeze, 3 align
    float sigma = 2.0f;
    bool freezeSelective = false;
    bool dumpAsLinear = true;
    bool motionEffect = false;
    bool autoBrightness = false;
    bool hdr = false;
    bool mergePixels = false;
    bool unifyExposure = false;
    bool homogenize = false;
    bool removeHotPixels = true;
    int pollutionKind = 0;  // 0 off, 1 deep, 2 uneven
    int pollutionStrength = 0;  // -2..2
    bool aggressive = false;
    float enhanceStars = 0.0f;  // 0 = off
    int distortion = 0;  // 0 none, 1 tele, 2 complex
    unsigned int timeLapse = 0;
    int colorSpace = 0;  // 0 sRGB, 1 Adobe, 2 linear

    std::optional<std::array<float, 4>> boundary;
    std::optional<std::array<float, 5>> gradient;
    std::string mask;
    bool autoMask = false;  // estimate the sky mask from the frames; replaces a project's region
    std::string saveMask;   // write the mask the run used as PNG
    std::string report;
    bool quiet = false;

    bool hasSkyRegion() const { return boundary || gradient || !mask.empty() || autoMask; }
};

// Outcome of parsing: either run with the options, or stop with an exit code and a text for
// stdout (help, version) or stderr (errors, one line naming the bad argument).
struct ParseResult {
    bool run = false;
    int exitCode = 0;
    std::string out;
    std::string error;
};

ParseResult parseCommandLine(int argc, const char* const* argv, CliOptions& options, const std::string& version);

}  // namespace velcli
