// Runs velostar-cli as a process: exit codes, stderr, signals and the report on generated data.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "MaskFile.h"
#include "SkyFiles.h"
#include "SkyGenerator.h"
#include "support/RawDecodeChecks.h"
#include "support/TempDir.h"
#include "support/TransformCheck.h"

namespace {

std::string program()
{
    const char* dir = std::getenv("VELOSTAR_BIN_DIR");
    return std::string(dir ? dir : VELOSTAR_TEST_BINARY_DIR "/bin") + "/velostar-cli";
}

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

// Fills the pipe's buffer, so that the next write into it waits for the reader; returns the bytes written.
size_t fillPipe(int fd)
{
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const std::string chunk(4096, '#');
    size_t filled = 0;
    for (size_t size = chunk.size(); size > 0; size /= 2)  // writes up to 4096 bytes are all or nothing
        for (ssize_t n; (n = write(fd, chunk.data(), size)) > 0;)
            filled += static_cast<size_t>(n);
    fcntl(fd, F_SETFL, 0);
    return filled;
}

// True while SIGINT was sent to `pid` but none of its threads has taken it yet.
bool interruptPending(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("ShdPnd:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1) & 1) != 0;
    return false;
}

// Runs the program with stdout in a file and stderr through a pipe. With `interrupt` the program
// starts with SIGINT pending (and blocked, as the program keeps it), and its stderr pipe stays full
// until the program has taken the signal: however fast the machine, its run cannot get past its
// first progress line before the cancel.
Outcome runCli(const std::vector<std::string>& args, const veltest::TempDir& dir, bool interrupt = false)
{
    const std::string outPath = dir.file("cli.out");
    int err[2];
    if (pipe(err) != 0)
        return {};
    const size_t filler = interrupt ? fillPipe(err[1]) : 0;
    sigset_t interruptOnly, previous;
    sigemptyset(&interruptOnly);
    sigaddset(&interruptOnly, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interruptOnly, &previous);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(300);  // kept across exec: a hanging program fails the test instead of stopping it
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(err[0]);
        close(err[1]);
        std::vector<char*> argv;
        const std::string path = program();
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    if (interrupt)
        kill(pid, SIGINT);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(err[1]);

    // A program whose run ends without taking the signal would wait on the pipe: not for long.
    const auto taken = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (interrupt && interruptPending(pid) && std::chrono::steady_clock::now() < taken)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Outcome outcome;
    char buffer[4096];
    for (ssize_t got; (got = read(err[0], buffer, sizeof buffer)) > 0;)
        outcome.err.append(buffer, static_cast<size_t>(got));
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = veltest::readBytes(outPath);
    outcome.err.erase(0, filler);
    return outcome;
}

// Writes a generated series into `folder`; returns the frame paths.
std::vector<std::string> generate(const velsky::SkyGenerator& generator, const std::string& folder)
{
    const auto files = velsky::writeSeries(generator, folder);
    std::vector<std::string> paths;
    for (const auto& name : files.frames)
        paths.push_back(folder + "/" + name);
    return paths;
}

}  // namespace

TEST(CliProgram, BadUsageIsOneLineAndExit64)
{
    veltest::TempDir dir;
    const auto outcome = runCli({"--sigma", "20", "-o", dir.file("r.tif"), dir.file("b.tif")}, dir);
    EXPECT_EQ(outcome.exitCode, 64);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find("--sigma"), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;

    const auto help = runCli({"--help"}, dir);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--pollution-strength"), std::string::npos);

    ASSERT_TRUE(veltest::writeBytes(dir.file("b.tif"), "image"));
    const auto mask = runCli({"--mask", dir.file("none.png"), "-o", dir.file("r.tif"), dir.file("b.tif")}, dir);
    EXPECT_EQ(mask.exitCode, 64);
    EXPECT_NE(mask.err.find("--mask"), std::string::npos) << mask.err;
}

TEST(CliProgram, EngineResultIsTheExitStatus)
{
    veltest::TempDir dir;
    // Files that exist but hold no image: the engine, not the command line, refuses them.
    ASSERT_TRUE(veltest::writeBytes(dir.file("text.tif"), "no image"));
    ASSERT_TRUE(veltest::writeBytes(dir.file("s.tif"), "no image"));
    const auto outcome = runCli(
        {"--quiet", "--report", dir.file("r.json"), "-o", dir.file("r.tif"), dir.file("text.tif"), dir.file("s.tif")},
        dir);
    // Quiet: only the one closing message, no stage lines.
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 2) << outcome.err;
    const auto report = nlohmann::json::parse(veltest::readBytes(dir.file("r.json")));
    EXPECT_EQ(report["result"], outcome.exitCode);
    EXPECT_EQ(outcome.exitCode, 7);
    EXPECT_NE(outcome.err.find("Loading base image failed."), std::string::npos) << outcome.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("r.tif")));
}

TEST(CliProgram, ReportTransformsAgreeWithGeneratorTruth)
{
    veltest::TempDir dir;
    velsky::SkyOptions o;
    o.width = 1600;
    o.height = 1000;
    o.frames = 5;
    o.seed = 11;
    o.rotationPerFrameDeg = 0.3;
    // The camera's hot pixels and the default star density: registration has to cope with both.
    const velsky::SkyGenerator generator(o);
    const auto frames = generate(generator, dir.file("sky"));
    std::vector<std::string> args = {"--report", dir.file("r.json"), "-o", dir.file("stack.tif")};
    args.insert(args.end(), frames.begin(), frames.end());
    const auto outcome = runCli(args, dir);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_TRUE(std::filesystem::exists(dir.file("stack.tif")));
    // Not a terminal: plain stage lines.
    EXPECT_NE(outcome.err.find("[Analysis & composition]\n"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find('\r'), std::string::npos);

    const auto report = nlohmann::json::parse(veltest::readBytes(dir.file("r.json")));
    EXPECT_EQ(report["result"], 1);
    ASSERT_EQ(report["frames"].size(), frames.size());
    for (const auto& frame : report["frames"]) {
        const std::string file = frame["file"];
        const int index = std::stoi(file.substr(file.size() - 7, 3));
        EXPECT_EQ(frame["reference"], index == 0) << file;
        ASSERT_FALSE(frame["transform"].is_null()) << file;
        EXPECT_EQ(frame["used"], true) << file;
        EXPECT_TRUE(frame["reason"].is_null()) << file;
        const auto t = frame["transform"].get<std::vector<double>>();
        // Alignment to a tenth of a pixel anywhere in the frame.
        EXPECT_LT(veltest::mapError(t.data(), generator.frameToBase(index).m, o.width, o.height).worst, 0.1) << file;
    }
}

TEST(CliProgram, AutoMaskSavesTheMaskItEstimated)
{
    veltest::TempDir dir;
    velsky::SkyOptions o;
    o.width = 600;
    o.height = 400;
    o.frames = 5;
    o.seed = 19;
    o.starsPerMegapixel = 2500.0;
    o.magnitudeRange = 6.0;
    o.rotationPerFrameDeg = 0.3;
    o.foreground = true;
    const velsky::SkyGenerator generator(o);
    const auto frames = generate(generator, dir.file("sky"));
    std::vector<std::string> args = {"--auto-mask", "--save-mask", dir.file("sky.png"), "-o", dir.file("stack.tif")};
    args.insert(args.end(), frames.begin(), frames.end());
    const auto outcome = runCli(args, dir);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("Estimating sky mask ... done\n"), std::string::npos) << outcome.err;
    const velapp::MaskImage mask = velapp::loadMaskPng(dir.file("sky.png"));
    ASSERT_EQ(mask.width, o.width);
    ASSERT_EQ(mask.height, o.height);
    int64_t agreed = 0, counted = 0;
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x)
            if (std::fabs(generator.horizonRow(x) - y) > 10) {
                ++counted;
                agreed += (mask.rgb[(size_t(y) * o.width + x) * 3 + 1] >= 128) == !generator.isGround(x, y);
            }
    EXPECT_GT(double(agreed) / double(counted), 0.98);
    // Sharp, as the run used it: given back with --mask it stacks the same sky and ground.
    EXPECT_TRUE(std::all_of(mask.rgb.begin(), mask.rgb.end(), [](uint8_t v) { return v == 0 || v == 255; }));
}

TEST(CliProgram, InterruptEndsWithStatusFourAndLeavesNothingBehind)
{
    veltest::TempDir dir;
    velsky::SkyOptions o;
    o.width = 600;
    o.height = 400;
    o.frames = 3;
    o.seed = 5;
    const auto frames = generate(velsky::SkyGenerator(o), dir.file("sky"));
    std::filesystem::create_directories(dir.file("out"));
    std::vector<std::string> args = {"--mode", "select", "-o", dir.file("out/stack.tif")};
    args.insert(args.end(), frames.begin(), frames.end());
    const auto outcome = runCli(args, dir, true);
    EXPECT_EQ(outcome.exitCode, 4) << outcome.err;
    EXPECT_NE(outcome.err.find("Cancelled."), std::string::npos) << outcome.err;
    // Neither temporary frames nor a half-written result stay behind.
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("out")))
        ADD_FAILURE() << "left behind: " << entry.path();
}

TEST(CliProgram, RawFilesThatCrashLibRawAreFramesThatCannotBeLoaded)
{
    veltest::TempDir dir;
    velsky::SkyOptions o;
    o.width = 600;
    o.height = 400;
    o.frames = 3;
    o.seed = 5;
    const auto frames = generate(velsky::SkyGenerator(o), dir.file("sky"));
    std::vector<std::string> stars = {"--quiet", "--report", dir.file("r.json"), "-o", dir.file("r.tif"), frames[0]};
    for (const auto& file : veltest::crashingRawFiles()) {
        ASSERT_TRUE(veltest::writeBytes(dir.file(file.name), file.bytes));
        const auto base = runCli({"--quiet", "-o", dir.file("r.tif"), dir.file(file.name)}, dir);
        EXPECT_EQ(base.exitCode, 7) << file.name << ": " << base.err;
        stars.push_back(dir.file(file.name));
    }
    stars.insert(stars.end(), frames.begin() + 1, frames.end());
    const auto outcome = runCli(stars, dir);
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    const auto report = nlohmann::json::parse(veltest::readBytes(dir.file("r.json")));
    int unused = 0;
    for (const auto& frame : report["frames"])
        unused += frame["used"] == false;
    EXPECT_EQ(unused, 2) << report.dump();
}

TEST(CliProgram, NeverWritesOverAnInputAndNamesUnreadableOnes)
{
    veltest::TempDir dir;
    ASSERT_TRUE(veltest::writeBytes(dir.file("a.tif"), "frame a"));
    ASSERT_TRUE(veltest::writeBytes(dir.file("b.tif"), "frame b"));
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink(dir.file("b.tif"), dir.file("link.tif"));
    std::filesystem::create_hard_link(dir.file("a.tif"), dir.file("hard.tif"));
    const std::string a = dir.file("a.tif"), b = dir.file("b.tif"), result = dir.file("r.tif");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-o", b, a, b}, "--output: " + b + " is the star image " + b},
        {{"-o", dir.file("sub/../a.tif"), a}, "is the base image " + a},
        {{"-o", dir.file("link.tif"), a, b}, "is the star image " + b},
        {{"-o", dir.file("hard.tif"), a, b}, "is the base image " + a},
        {{"--noise", b, "-o", b, a}, "is the noise image (--noise) " + b},
        {{"--report", a, "-o", result, a}, "--report: " + a},
        {{"--auto-mask", "--save-mask", dir.file("hard.tif"), "-o", result, a}, "--save-mask: " + dir.file("hard.tif")},
        {{"-o", result, a, dir.file("missing.tif")}, dir.file("missing.tif") + ": cannot read the star image: No such file or directory"},
        {{"-o", result, dir.file("sub")}, dir.file("sub") + ": cannot read the base image: Is a directory"},
    };
    for (const auto& [args, message] : cases) {
        const auto outcome = runCli(args, dir);
        EXPECT_EQ(outcome.exitCode, 64) << message;
        EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
    EXPECT_EQ(veltest::readBytes(a), "frame a");
    EXPECT_EQ(veltest::readBytes(b), "frame b");
    EXPECT_FALSE(std::filesystem::exists(result));
}

TEST(CliProgram, ProjectThatCannotBeReadIsBadUsage)
{
    veltest::TempDir dir;
    ASSERT_TRUE(veltest::writeBytes(dir.file("binary.vlp"), std::string("\0\1\2\3\xff", 5)));
    ASSERT_TRUE(veltest::writeBytes(dir.file("cut.vlp"), "<?xml version=\"1.0\"?><VelostarProject><StarImage><Rel"));
    { std::ofstream huge(dir.file("huge.vlp")); }
    std::filesystem::resize_file(dir.file("huge.vlp"), 100u << 20);
    for (const char* name : {"binary.vlp", "cut.vlp", "huge.vlp", "missing.vlp"}) {
        const auto outcome = runCli({"-o", dir.file("r.tif"), dir.file(name)}, dir);
        EXPECT_EQ(outcome.exitCode, 64) << name;
        EXPECT_NE(outcome.err.find(dir.file(name) + ": cannot open the project: "), std::string::npos) << outcome.err;
    }
    const auto missing = runCli({dir.file("missing.vlp")}, dir);
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
}
