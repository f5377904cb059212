#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velraw {

// Polled while waiting for the decoding program; true ends the decode and kills the program.
using StopRequest = std::function<bool()>;

// The decoding program: $VELOSTAR_RAWDECODE when that is set (set but empty: none, so RAW files
// are decoded in the calling process), else velostar-rawdecode in ../bin/ of the library or
// program holding this code, or beside it. Empty when no executable is there.
std::string decoderProgramPath();

// Time a decode may take before it counts as hung: generous, as a large file on a loaded
// machine takes a while, and growing with the file.
std::chrono::milliseconds decodeTimeLimit(uint64_t fileBytes);

// One run of the decoding program. `inputFd` becomes its standard input (the caller keeps and
// closes its own descriptor), its standard output is read back through a pipe, its error output
// goes nowhere. It runs in a process group of its own, so that a terminal's Ctrl-C reaches only
// the caller, which decides. Whatever happens, the destructor kills and reaps it; no descriptor
// of the run outlives the object. Used by one thread at a time.
class DecoderProcess {
public:
    DecoderProcess(const std::string& program, const std::vector<std::string>& arguments, int inputFd,
                   std::chrono::milliseconds timeLimit, StopRequest stopRequested = {});
    ~DecoderProcess();
    DecoderProcess(const DecoderProcess&) = delete;
    DecoderProcess& operator=(const DecoderProcess&) = delete;

    bool started() const { return m_pid > 0; }
    // The program closed its output (it ended, or is ending) before a read was satisfied.
    bool outputEnded() const { return m_outputEnded; }
    // Exactly `count` bytes of the program's output. False when the output ends earlier, the
    // time limit passes, a stop is requested or reading fails; every later call fails too.
    bool read(void* into, size_t count);
    // Waits for the output to end here and for the program to exit, and reaps it. Its exit status
    // when it exited by itself with nothing left unread; none when it was killed or crashed, ran
    // past the time limit, was stopped, or wrote more. A host that reaps children itself (one
    // that ignores SIGCHLD) leaves no status to see: that counts as 0, so the output decides.
    std::optional<int> finish();

private:
    enum class Wait { Ready, Failed };
    Wait waitUntilReadable();
    // Kills and reaps the program if it still runs and closes the output; later reads fail.
    void end();

    pid_t m_pid = -1;
    int m_output = -1;
    bool m_ended = false;
    bool m_outputEnded = false;
    std::chrono::steady_clock::time_point m_deadline;
    StopRequest m_stopRequested;
};

}  // namespace velraw
