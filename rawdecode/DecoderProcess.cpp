#include "DecoderProcess.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>

extern char** environ;

namespace velraw {

namespace {

constexpr const char* kProgramName = "velostar-rawdecode";
// How often a waiting read looks at the stop request.
constexpr std::chrono::milliseconds kPollSlice{50};
// A larger pipe means fewer wake-ups per frame; 1 MiB is what an unprivileged process may ask.
constexpr int kPipeBytes = 1 << 20;

bool isExecutableFile(const std::string& path)
{
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// The file of the shared library or program this code was linked into.
std::string holderFile()
{
    Dl_info info {};
    link_map* map = nullptr;
    if (::dladdr1(reinterpret_cast<void*>(&holderFile), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) &&
        map && map->l_name && map->l_name[0])
        return map->l_name;
    // The main program's own entry has no name.
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

std::string locatedProgram()
{
    std::error_code error;
    const std::filesystem::path holder = std::filesystem::weakly_canonical(holderFile(), error);
    if (error || holder.empty())
        return {};
    const std::filesystem::path folder = holder.parent_path();
    for (const std::filesystem::path& candidate : {folder / ".." / "bin" / kProgramName, folder / kProgramName}) {
        const std::string path = candidate.lexically_normal().string();
        if (isExecutableFile(path))
            return path;
    }
    return {};
}

// The standard descriptors 0 to 2 may be closed in the caller; a descriptor the child receives
// must not sit on one of them, or setting up the child's own 0 and 1 would overwrite it.
int movedAboveStandard(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

class SpawnSetup {
public:
    SpawnSetup()
    {
        m_ready = ::posix_spawn_file_actions_init(&m_actions) == 0;
        m_ready = ::posix_spawnattr_init(&m_attributes) == 0 && m_ready;
    }
    ~SpawnSetup()
    {
        ::posix_spawn_file_actions_destroy(&m_actions);
        ::posix_spawnattr_destroy(&m_attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Standard input and output as given, error output to /dev/null, nothing else inherited;
    // no blocked signals and default dispositions, whatever the calling thread uses.
    bool prepare(int input, int output)
    {
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        return m_ready && ::posix_spawn_file_actions_adddup2(&m_actions, input, 0) == 0 &&
               ::posix_spawn_file_actions_adddup2(&m_actions, output, 1) == 0 &&
               ::posix_spawn_file_actions_addopen(&m_actions, 2, "/dev/null", O_WRONLY, 0) == 0 &&
               ::posix_spawn_file_actions_addclosefrom_np(&m_actions, 3) == 0 &&
               ::posix_spawnattr_setflags(&m_attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                             POSIX_SPAWN_SETPGROUP) == 0 &&
               ::posix_spawnattr_setsigmask(&m_attributes, &none) == 0 &&
               ::posix_spawnattr_setsigdefault(&m_attributes, &all) == 0 &&
               ::posix_spawnattr_setpgroup(&m_attributes, 0) == 0;
    }
    const posix_spawn_file_actions_t* actions() const { return &m_actions; }
    const posix_spawnattr_t* attributes() const { return &m_attributes; }

private:
    bool m_ready = false;
    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attributes;
};

bool stopping(const StopRequest& stopRequested)
{
    try {
        return stopRequested && stopRequested();
    } catch (...) {
        return true;
    }
}

}  // namespace

std::string decoderProgramPath()
{
    if (const char* chosen = std::getenv("VELOSTAR_RAWDECODE"))
        return isExecutableFile(chosen) ? std::string(chosen) : std::string();
    static const std::string located = locatedProgram();
    return located;
}

std::chrono::milliseconds decodeTimeLimit(uint64_t fileBytes)
{
    return std::chrono::seconds(60) + std::chrono::seconds(fileBytes >> 20);
}

DecoderProcess::DecoderProcess(const std::string& program, const std::vector<std::string>& arguments, int inputFd,
                               std::chrono::milliseconds timeLimit, StopRequest stopRequested)
    : m_deadline(std::chrono::steady_clock::now() + timeLimit), m_stopRequested(std::move(stopRequested))
{
    int ends[2];
    if (inputFd < 0 || ::pipe2(ends, O_CLOEXEC) != 0)
        return;
    Descriptor readEnd(movedAboveStandard(ends[0]));
    Descriptor writeEnd(movedAboveStandard(ends[1]));
    Descriptor input(inputFd > 2 ? -1 : ::fcntl(inputFd, F_DUPFD_CLOEXEC, 3));
    const int childInput = inputFd > 2 ? inputFd : input.get();
    SpawnSetup setup;
    if (readEnd.get() < 0 || writeEnd.get() < 0 || childInput < 0 || !setup.prepare(childInput, writeEnd.get()))
        return;
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, kPipeBytes);  // a smaller pipe only costs wake-ups

    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), setup.actions(), setup.attributes(), argv.data(), environ) != 0)
        return;
    m_pid = pid;
    m_output = readEnd.release();
}

DecoderProcess::~DecoderProcess() { end(); }

void DecoderProcess::end()
{
    m_ended = true;
    if (m_output >= 0)
        ::close(m_output);
    m_output = -1;
    if (m_pid <= 0)
        return;
    // The whole group, so that nothing the program started keeps running (or holds its output).
    ::kill(-m_pid, SIGKILL);
    while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

DecoderProcess::Wait DecoderProcess::waitUntilReadable()
{
    for (;;) {
        if (stopping(m_stopRequested))
            return Wait::Failed;
        using std::chrono::milliseconds;
        const auto left = std::chrono::duration_cast<milliseconds>(m_deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return Wait::Failed;
        pollfd output{m_output, POLLIN, 0};
        const int ready = ::poll(&output, 1, static_cast<int>(std::min(left, kPollSlice).count()));
        if (ready > 0)
            return Wait::Ready;  // data, or the end of the output: read() tells them apart
        if (ready < 0 && errno != EINTR)
            return Wait::Failed;
    }
}

bool DecoderProcess::read(void* into, size_t count)
{
    auto* bytes = static_cast<unsigned char*>(into);
    while (count > 0) {
        if (m_ended || m_outputEnded)
            return false;
        if (!started() || waitUntilReadable() != Wait::Ready) {
            end();
            return false;
        }
        const ssize_t got = ::read(m_output, bytes, count);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0) {
            m_outputEnded = true;  // the program is gone or going; finish() can still see how
            return false;
        }
        if (got < 0) {
            end();
            return false;
        }
        bytes += got;
        count -= static_cast<size_t>(got);
    }
    return !m_ended && !m_outputEnded;
}

std::optional<int> DecoderProcess::finish()
{
    unsigned char extra = 0;
    if (!m_outputEnded && (read(&extra, 1) || !m_outputEnded)) {
        end();
        return std::nullopt;
    }
    // The output has ended, so the program is on its way out; the deadline still bounds the wait.
    while (!m_ended) {
        int status = 0;
        const pid_t reaped = ::waitpid(m_pid, &status, WNOHANG);
        if (reaped == m_pid) {
            m_pid = -1;
            end();
            return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
        }
        if (reaped < 0 && errno == ECHILD) {
            m_pid = -1;
            end();
            return 0;
        }
        if ((reaped < 0 && errno != EINTR) || stopping(m_stopRequested) ||
            std::chrono::steady_clock::now() >= m_deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    end();
    return std::nullopt;
}

}  // namespace velraw
