#include "CliOptions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <memory>

#include <CLI/CLI.hpp>

#include "ProjectOptions.h"

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
    std::string mode;
    std::string pollution;
    std::string distortion;
    std::string colorSpace;
    std::string boundary;
    std::string gradient;
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

// The command line bound to one CliOptions: parsing sets only what is given, so that a project's
// values stay where the command line says nothing.
class CommandLine {
public:
    CommandLine(CliOptions& o, const std::string& version);

    void parse(int argc, const char* const* argv) { m_app.parse(argc, argv); }
    std::string help(bool all) { return all ? m_app.help("", CLI::AppFormatMode::All) : m_app.help(); }
    // The project named as the only positional argument, if it is one.
    const std::string* project() const;
    void finish();

private:
    bool given(const CLI::Option* option) const { return option->count() > 0; }
    void finishWords();
    void finishSkyRegion();

    CliOptions& m_o;
    CLI::App m_app;
    std::vector<std::string> m_files;
    Words m_words;
    CLI::Option* m_mode = nullptr;
    CLI::Option* m_pollution = nullptr;
    CLI::Option* m_strength = nullptr;
    CLI::Option* m_distortion = nullptr;
    CLI::Option* m_colorSpace = nullptr;
    CLI::Option* m_boundary = nullptr;
    CLI::Option* m_gradient = nullptr;
    CLI::Option* m_mask = nullptr;
    CLI::Option* m_autoMask = nullptr;
};

CommandLine::CommandLine(CliOptions& o, const std::string& version)
    : m_o(o),
      m_app("Stacks night-sky photographs: registers every STAR image onto BASE and integrates them.\n"
            "velostar-cli [OPTIONS] PROJECT.vlp runs a saved project; options given beside it override its values.",
            "velostar-cli")
{
    CLI::App& app = m_app;
    app.set_version_flag("--version", version);
    app.get_formatter()->column_width(34);

    app.add_option("-o,--output", o.output, "Output file: .tif/.tiff 16-bit TIFF, .jpg 8-bit JPEG")->type_name("FILE");
    app.add_option("BASE", m_files, "Base image, then the star images (RAW, JPEG, uncompressed TIFF); or PROJECT.vlp")
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
    addSwitch(app, "trails", o.trails, "Compose star trails instead of aligning stars");
    addSwitch(app, "freeze-selective", o.freezeSelective, "Freeze ground selectively");
    addSwitch(app, "align-linear", o.dumpAsLinear, "Write aligned frames linear");
    m_mode = app.add_option("--mode", m_words.mode,
                            "Integration: accumulate, select (best pixels), freeze (ground), align (only)")
                 ->type_name("MODE")
                 ->default_str("accumulate");
    app.add_option("--sigma", o.sigma, "Sigma of \"Select best pixels\" (0.5 to 10)")
        ->check(CLI::Range(0.5f, 10.0f).description(""))
        ->type_name("S")
        ->capture_default_str();
    addSwitch(app, "motion-effect", o.motionEffect, "Fading motion effect for trails");
    addSwitch(app, "auto-brightness", o.autoBrightness, "Adjust brightness automatically");
    addSwitch(app, "hdr", o.hdr, "High dynamic range");
    addSwitch(app, "merge-pixels", o.mergePixels, "Merge 4 pixels into one");
    addSwitch(app, "unify-exposure", o.unifyExposure, "Unify the exposure of the frames");
    addSwitch(app, "homogenize", o.homogenize, "Homogenize vignetting");
    addSwitch(app, "remove-hot-pixels", o.removeHotPixels, "Remove dynamic hot pixels");
    m_pollution = app.add_option("--pollution", m_words.pollution, "Reduce light pollution: deep, uneven or off")
                      ->type_name("KIND");
    m_strength = app.add_option("--pollution-strength", o.pollutionStrength,
                                "Light-pollution reduction strength (-2 to 2)")
                     ->check(CLI::Range(-2, 2).description(""))
                     ->type_name("N")
                     ->capture_default_str();
    addSwitch(app, "aggressive", o.aggressive, "Aggressive suppression");
    app.add_option("--enhance-stars", o.enhanceStars, "Star-light enhancement factor (0 = off, e.g. 1.2 to 2.6)")
        ->check(CLI::Range(0.0f, 100.0f).description(""))
        ->type_name("F")
        ->capture_default_str();
    m_distortion = app.add_option("--distortion", m_words.distortion, "Lens distortion correction: none, tele, complex")
                       ->type_name("KIND")
                       ->default_str("none");
    app.add_option("--time-lapse", o.timeLapse, "Time-lapse: frames per output (0 = off)")
        ->check(CLI::Range(0u, 1000000u).description(""))
        ->type_name("N")
        ->capture_default_str();
    m_colorSpace = app.add_option("--color-space", m_words.colorSpace, "Colour space: srgb, adobe, linear")
                       ->type_name("SPACE")
                       ->default_str("srgb");
    m_boundary = app.add_option("--boundary", m_words.boundary,
                                "Star boundary line X0,Y0,X1,Y1; stars are detected above it "
                                "(fractions when all are at most 1, else pixels)")
                     ->type_name("X0,Y0,X1,Y1");
    m_gradient = app.add_option("--gradient", m_words.gradient,
                                "Gradient region: line and extent (fractions when at most 1, else pixels)")
                     ->type_name("X0,Y0,X1,Y1,EXTENT");
    m_mask = app.add_option("--mask", o.mask, "Sky mask PNG: sky painted green or white on black, any size")
                 ->type_name("FILE.png");
    m_autoMask = app.add_flag("--auto-mask", o.autoMask,
                              "Estimate the sky mask from the frames (ground fixed in the camera, stars "
                              "turning); replaces a project's sky region, excludes the other region options");
    app.add_option("--save-mask", o.saveMask,
                   "Write the sky mask the run used (white sky on black ground) to this PNG, for "
                   "painting over in the desktop program")
        ->type_name("FILE.png");
    m_boundary->excludes(m_gradient)->excludes(m_mask)->excludes(m_autoMask);
    m_gradient->excludes(m_mask)->excludes(m_autoMask);
    m_mask->excludes(m_autoMask);
    app.add_option("--report", o.report, "Write a per-frame JSON report to this file")->type_name("FILE.json");
    app.add_flag("-q,--quiet", o.quiet, "No progress output");
}

const std::string* CommandLine::project() const
{
    return !m_files.empty() && endsWithNoCase(m_files[0], ".vlp") ? &m_files[0] : nullptr;
}

// Options that only make sense together, and values that the engine would silently drop.
void CommandLine::finish()
{
    CliOptions& o = m_o;
    if (!std::isfinite(o.sigma))
        throw UsageError{"--sigma: not a number"};
    if (!std::isfinite(o.enhanceStars))
        throw UsageError{"--enhance-stars: not a number"};
    finishWords();
    if (project()) {
        if (m_files.size() > 1)
            throw UsageError{m_files[1] + ": a project brings its own images (PROJECT.vlp takes no further files)"};
        if (o.base.empty())
            throw UsageError{o.project + ": the project has no star or base image"};
    } else {
        if (m_files.empty())
            throw UsageError{"BASE: missing base image (usage: velostar-cli [OPTIONS] -o OUTPUT BASE [STAR ...])"};
        o.base = m_files[0];
        o.stars.assign(m_files.begin() + 1, m_files.end());
    }
    if (o.output.empty())
        throw UsageError{"--output: an output file is required"};
    finishSkyRegion();
}

void CommandLine::finishWords()
{
    CliOptions& o = m_o;
    if (given(m_mode))
        o.integrationMode = choose("--mode", m_words.mode, {"accumulate", "select", "freeze", "align"});
    if (given(m_pollution))
        o.pollutionKind = choose("--pollution", m_words.pollution, {"off", "deep", "uneven"});
    if (given(m_strength) && o.pollutionKind == 0)
        throw UsageError{"--pollution-strength: needs --pollution deep or uneven"};
    if (given(m_distortion))
        o.distortion = choose("--distortion", m_words.distortion, {"none", "tele", "complex"});
    if (given(m_colorSpace))
        o.colorSpace = choose("--color-space", m_words.colorSpace, {"srgb", "adobe", "linear"});
}

// A region given here replaces the project's, whatever its kind.
void CommandLine::finishSkyRegion()
{
    CliOptions& o = m_o;
    if (given(m_boundary)) {
        const auto v = parseNumbers<4>("--boundary", m_words.boundary, "X0,Y0,X1,Y1");
        if (v[0] == v[2] && v[1] == v[3])
            throw UsageError{"--boundary: the two points of the line must differ"};
        o.boundary = v;
        o.gradient.reset();
        o.mask.clear();
    }
    if (given(m_gradient)) {
        const auto v = parseNumbers<5>("--gradient", m_words.gradient, "X0,Y0,X1,Y1,EXTENT");
        if (v[0] == v[2] && v[1] == v[3])
            throw UsageError{"--gradient: the two points of the line must differ"};
        if (!(v[4] > 0.0f))
            throw UsageError{"--gradient: EXTENT must be above 0"};
        o.gradient = v;
        o.boundary.reset();
        o.mask.clear();
    }
    if (given(m_mask)) {
        o.boundary.reset();
        o.gradient.reset();
    }
    if (given(m_autoMask)) {
        o.boundary.reset();
        o.gradient.reset();
        o.mask.clear();
    }
    if (!o.saveMask.empty() && !o.autoMask && o.mask.empty())
        throw UsageError{"--save-mask: the run has no sky mask to write (give --auto-mask or --mask)"};
    if (!o.saveMask.empty() && !endsWithNoCase(o.saveMask, ".png"))
        throw UsageError{"--save-mask: " + o.saveMask + " is not a .png file"};
}

}  // namespace

ParseResult parseCommandLine(int argc, const char* const* argv, CliOptions& o, const std::string& version)
{
    ParseResult result;
    auto line = std::make_unique<CommandLine>(o, version);
    try {
        line->parse(argc, argv);
        if (const std::string* project = line->project()) {
            // Once more over the project's values, so that what is given here overrides them.
            CliOptions fromProject;
            std::string error;
            if (!optionsFromProject(*project, fromProject, error))
                throw UsageError{error};
            o = std::move(fromProject);
            line = std::make_unique<CommandLine>(o, version);
            line->parse(argc, argv);
        }
        line->finish();
        result.run = true;
    } catch (const CLI::CallForHelp&) {
        result.out = line->help(false);
    } catch (const CLI::CallForAllHelp&) {
        result.out = line->help(true);
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
