#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Runs the desktop program under its own virtual X server with a self-test mode switched on.
namespace velguitest {

struct ProgramRun {
    int status = -1;
    std::string output;
};

inline std::string programPath()
{
    const char* dir = std::getenv("VELOSTAR_BIN_DIR");
    return std::string(dir ? dir : VELOSTAR_TEST_BINARY_DIR "/bin") + "/Velostar";
}

// The caller's race-checker options plus the toolkit's suppressions.
inline std::string tsanOptions()
{
    const char* given = std::getenv("TSAN_OPTIONS");
    std::string options = given ? std::string(given) + ":" : std::string();
    return "'" + options + "suppressions=" + VELOSTAR_TEST_SOURCE_DIR + "/tests/app/gui/tsan.supp'";
}

inline std::string shellQuoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// `environment` is added to the command line as it stands (NAME=quoted-value pairs). The server
// number starts from one derived from the process id so that parallel tests rarely collide, and
// a run whose server could not start is retried. `timeout` ends a program whose window never
// appears or whose run never ends, so a broken program fails the test instead of hanging it.
// `arguments` follow the program name as they stand (quote them).
inline ProgramRun runSelfTest(const std::string& language, const std::string& environment = "VELOSTAR_SELFTEST=1",
                              int timeoutSeconds = 120, const std::string& arguments = "")
{
    ProgramRun run;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int server = 100 + (getpid() * 7 + attempt * 131) % 800;
        const std::string command = "env " + environment + " NO_AT_BRIDGE=1 LSAN_OPTIONS=suppressions=" +
                                    std::string(VELOSTAR_TEST_SOURCE_DIR) +
                                    "/tests/app/gui/lsan.supp:print_suppressions=0 TSAN_OPTIONS=" + tsanOptions() +
                                    " VELLANG='" + language + "' timeout -k 10 " + std::to_string(timeoutSeconds) +
                                    " xvfb-run -a -n " + std::to_string(server) +
                                    " -s '-screen 0 1280x800x24' '" + programPath() + "' " + arguments;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            continue;
        run.output.clear();
        std::array<char, 4096> buffer;
        size_t got = 0;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
            run.output.append(buffer.data(), got);
        const int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (run.status == 0 || run.output.find("window: ") != std::string::npos)
            break;
    }
    return run;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The window's job of `stars` through velostar-cli: the window's automatic base (the middle
// name) first, then the other star files in tree order. Returns the shell's status.
inline int runCommandLineJob(const std::vector<std::string>& stars, const std::string& options,
                             const std::string& output)
{
    std::vector<std::string> sorted = stars;
    std::sort(sorted.begin(), sorted.end());
    const std::string base = sorted[(sorted.size() - 1) / 2];
    const char* dir = std::getenv("VELOSTAR_BIN_DIR");
    std::vector<std::string> words = {shellQuoted(std::string(dir ? dir : VELOSTAR_TEST_BINARY_DIR "/bin") + "/velostar-cli"),
                                      "-q", options, "-o", shellQuoted(output), shellQuoted(base)};
    for (const std::string& star : stars) {
        if (star != base)
            words.push_back(shellQuoted(star));
    }
    std::string command;
    for (const std::string& word : words)
        command.append(word).append(1, ' ');
    return std::system(command.c_str());
}

}  // namespace velguitest
