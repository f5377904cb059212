#include "CliOptions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <initializer_list>

#include <CLI/CLI.hpp>

namespace velcli {

namespace {

// A usage error that names the argument it is about.
struct UsageError {
    std::string text;
};

bool endsWithNoCase(const std::string& text, const std::string& tail)
{
    if (text.size() < tail.size())
        return false;
    return std::equal(tail.rbegin(), tail.rend(), text.rbegin(),
                      [](char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); });
}

// "X0,Y0,X1,Y1[,E]" -> numbers; anything else is a usage error naming the option.
template <size_t N>
std::array<float, N> parseNumbers(const std::string& option, const std::string& text, const char* shape)
{
    std::array<float, N> values{};
    size_t start = 0;
    for (size_t i = 0; i < N; ++i) {
        const size_t comma = text.find(',', start);
        const bool last = i + 1 == N;
        if ((comma == std::string::npos) != last)
            throw UsageError{option + ": expected " + shape + ", got \"" + text + "\""};
        const std::string part = text.substr(start, last ? std::string::npos : comma - start);
        char* end = nullptr;
        const float value = std::strtof(part.c_str(), &end);
        if (part.empty() || *end != '\0' || !std::isfinite(value))
            throw UsageError{option + ": \"" + part + "\" is not a number (expected " + shape + ")"};
        values[i] = value;
        start = comma + 1;
    }
    return values;
}

// --NAME and --no-NAME, excluding each other; `value` keeps its default when neither is given.
void addSwitch(CLI::App& app, const std::string& name, bool& value, const std::string& what)
{
    auto* on = app.add_flag_callback(
        "--" + name, [&value] { value = true; }, what + ": on" + (value ? " (default)" : ""));
    auto* off = app.add_flag_callback(
        "--no-" + name, [&value] { value = false; }, what + ": off" + (value ? "" : " (default)"));
    on->excludes(off);
}

std::string oneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

// Option values given by name, turned into the engine's numbers after parsing.
struct Words {
    std::string mode = "accumulate";
    std::string pollution;
    std::string distortion = "none";
    std::string colorSpace = "srgb";
};

int choose(const std::string& option, const std::string& word, std::initializer_list<const char*> names)
{
    int index = 0;
    std::string list;
    for (const char* name : names) {
        if (word == name)
            return index;
        list += (index++ ? ", " : "") + std::string(name);
    }
    throw UsageError{option + ": \"" + word + "\" is not one of " + list};
}

// Options that only make sense together, and values that the engine would silently drop.
void finish(CliOptions& o, const std::vector<std::string>& files, const Words& words, const std::string& boundary,
            const std::string& gradient)
{
    if (!std::isfinite(o.sigma))
        throw UsageError{"--sigma: not a number"};
    if (!std::isfinite(o.enhanceStars))
        throw UsageError{"--enhance-stars: not a number"};
    o.integrationMode = choose("--mode", words.mode, {"accumulate", "select", "freeze", "align"});
    if (!words.pollution.empty())
        o.pollutionKind = choose("--pollution", words.pollution, {"deep", "uneven"}) + 1;
    o.distortion = choose("--distortion", words.distortion, {"none", "tele", "complex"});
    o.colorSpace = choose("--color-space", words.colorSpace, {"srgb", "adobe", "linear"});
    if (files.size() == 1 && endsWithNoCase(files[0], ".vlp")) {
        o.project = files[0];
        throw UsageError{o.project +
                         ": reading project files (PROJECT.vlp) is not supported yet; give -o OUTPUT BASE [STAR ...]"};
    }
    if (files.empty())
        throw UsageError{"BASE: missing base image (usage: velostar-cli [OPTIONS] -o OUTPUT BASE [STAR ...])"};
    if (o.output.empty())
        throw UsageError{"--output: an output file is required"};
    o.base = files[0];
    o.stars.assign(files.begin() + 1, files.end());
    if (!boundary.empty()) {
        const auto v = parseNumbers<4>("--boundary", boundary, "X0,Y0,X1,Y1");
        if (v[0] == v[2] && v[1] == v[3])
            throw UsageError{"--boundary: the two points of the line must differ"};
        o.boundary = v;
    }
    if (!gradient.empty()) {
        const auto v = parseNumbers<5>("--gradient", gradient, "X0,Y0,X1,Y1,EXTENT");
        if (v[0] == v[2] && v[1] == v[3])
            throw UsageError{"--gradient: the two points of the line must differ"};
        if (!(v[4] > 0.0f))
            throw UsageError{"--gradient: EXTENT must be above 0"};
        o.gradient = v;
    }
}

}  // namespace

ParseResult parseCommandLine(int argc, const char* const* argv, CliOptions& o, const std::string& version)
{
    CLI::App app{
        "Stacks night-sky photographs: registers every STAR image onto BASE and integrates them.\n"
        "velostar-cli [OPTIONS] PROJECT.vlp, running a saved project, is not supported yet.",
        "velostar-cli"};
    app.set_version_flag("--version", version);
    app.get_formatter()->column_width(34);

    std::vector<std::string> files;
    std::string boundary, gradient;
    Words words;
    app.add_option("-o,--output", o.output, "Output file: .tif/.tiff 16-bit TIFF, .jpg 8-bit JPEG")->type_name("FILE");
    app.add_option("BASE", files, "Base image, then the star images (RAW, JPEG, uncompressed TIFF); or PROJECT.vlp")
        ->option_text("[STAR ...]");
    app.add_option("--noise", o.noise, "Noise (dark) image; repeatable")
        ->type_name("FILE")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--vignetting", o.vignetting, "Vignetting (flat) image; repeatable")
        ->type_name("FILE")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--trails", o.trails, "Compose star trails instead of aligning stars");
    addSwitch(app, "freeze-selective", o.freezeSelective, "Freeze ground selectively");
    addSwitch(app, "align-linear", o.dumpAsLinear, "Write aligned frames linear");
    app.add_option("--mode", words.mode, "Integration: accumulate, select (best pixels), freeze (ground), align (only)")
        ->type_name("MODE")
        ->default_str("accumulate");
    app.add_option("--sigma", o.sigma, "Sigma of \"Select best pixels\" (0.5 to 10)")
        ->check(CLI::Range(0.5f, 10.0f).description(""))
        ->type_name("S")
        ->capture_default_str();
    app.add_flag("--motion-effect", o.motionEffect, "Fading motion effect for trails");
    app.add_flag("--auto-brightness", o.autoBrightness, "Adjust brightness automatically");
    app.add_flag("--hdr", o.hdr, "High dynamic range");
    app.add_flag("--merge-pixels", o.mergePixels, "Merge 4 pixels into one");
    app.add_flag("--unify-exposure", o.unifyExposure, "Unify the exposure of the frames");
    app.add_flag("--homogenize", o.homogenize, "Homogenize vignetting");
    addSwitch(app, "remove-hot-pixels", o.removeHotPixels, "Remove dynamic hot pixels");
    auto* pollution =
        app.add_option("--pollution", words.pollution, "Reduce light pollution: deep or uneven")->type_name("KIND");
    app.add_option("--pollution-strength", o.pollutionStrength, "Light-pollution reduction strength (-2 to 2)")
        ->check(CLI::Range(-2, 2).description(""))
        ->type_name("N")
        ->capture_default_str()
        ->needs(pollution);
    app.add_flag("--aggressive", o.aggressive, "Aggressive suppression");
    app.add_option("--enhance-stars", o.enhanceStars, "Star-light enhancement factor (0 = off, e.g. 1.2 to 2.6)")
        ->check(CLI::Range(0.0f, 100.0f).description(""))
        ->type_name("F")
        ->capture_default_str();
    app.add_option("--distortion", words.distortion, "Lens distortion correction: none, tele, complex")
        ->type_name("KIND")
        ->default_str("none");
    app.add_option("--time-lapse", o.timeLapse, "Time-lapse: frames per output (0 = off)")
        ->check(CLI::Range(0u, 1000000u).description(""))
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--color-space", words.colorSpace, "Colour space: srgb, adobe, linear")
        ->type_name("SPACE")
        ->default_str("srgb");
    auto* boundaryOption = app.add_option("--boundary", boundary,
                                          "Star boundary line X0,Y0,X1,Y1; stars are detected above it "
                                          "(fractions when all are at most 1, else pixels)")
                               ->type_name("X0,Y0,X1,Y1");
    auto* gradientOption = app.add_option("--gradient", gradient,
                                          "Gradient region: line and extent (fractions when at most 1, else pixels)")
                               ->type_name("X0,Y0,X1,Y1,EXTENT");
    auto* maskOption = app.add_option("--mask", o.mask, "Sky mask PNG: sky painted green or white on black, any size")
                           ->type_name("FILE.png");
    boundaryOption->excludes(gradientOption)->excludes(maskOption);
    gradientOption->excludes(maskOption);
    app.add_option("--report", o.report, "Write a per-frame JSON report to this file")->type_name("FILE.json");
    app.add_flag("-q,--quiet", o.quiet, "No progress output");

    ParseResult result;
    try {
        app.parse(argc, argv);
        finish(o, files, words, boundary, gradient);
        result.run = true;
    } catch (const CLI::CallForHelp&) {
        result.out = app.help();
    } catch (const CLI::CallForAllHelp&) {
        result.out = app.help("", CLI::AppFormatMode::All);
    } catch (const CLI::CallForVersion&) {
        result.out = version + "\n";
    } catch (const CLI::ParseError& error) {
        result.exitCode = kUsageExit;
        result.error = "velostar-cli: " + oneLine(error.what()) + " (see --help)";
    } catch (const UsageError& error) {
        result.exitCode = kUsageExit;
        result.error = "velostar-cli: " + error.text;
    }
    return result;
}

}  // namespace velcli
