#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "DecodeReply.h"
#include "DecoderProcess.h"
#include "support/RawDecodeChecks.h"
#include "support/TempDir.h"

using velraw::DecoderProcess;
using veltest::TempDir;

namespace {

using namespace std::chrono_literals;

class InputFile {
public:
    InputFile(const TempDir& dir, const std::string& bytes)
    {
        veltest::writeBytes(dir.file("input"), bytes);
        m_fd = ::open(dir.file("input").c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~InputFile() { ::close(m_fd); }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

std::string script(const TempDir& dir, const std::string& name, const std::string& body)
{
    const std::string path = dir.file(name);
    EXPECT_TRUE(veltest::writeScript(path, body));
    return path;
}

// Gone, or a zombie its new parent has yet to reap; within a few seconds.
bool processEnds(int pid)
{
    for (int i = 0; i < 500; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string field;
        for (int f = 0; f < 3 && stat >> field; ++f) {
        }
        if (!stat || field == "Z")
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

}  // namespace

TEST(DecoderProcess, HandsOverTheOutputAndTheExitStatus)
{
    TempDir dir;
    const InputFile input(dir, "frame bytes");
    {
        DecoderProcess echo(script(dir, "echo", "cat; exit 3"), {}, input.fd(), 10s);
        char got[11] = {};
        ASSERT_TRUE(echo.read(got, sizeof got));
        EXPECT_EQ(std::string(got, sizeof got), "frame bytes");
        EXPECT_EQ(echo.finish(), 3);
    }
    {
        // More output than the reader takes is no complete reply.
        DecoderProcess talker(script(dir, "talker", "printf 'frame and more'"), {}, input.fd(), 10s);
        char got[5];
        ASSERT_TRUE(talker.read(got, sizeof got));
        EXPECT_EQ(talker.finish(), std::nullopt);
    }
    {
        DecoderProcess arguments(script(dir, "arguments", "printf '%s|' \"$@\""), {"frame", "2", ""}, input.fd(), 10s);
        char got[9] = {};
        ASSERT_TRUE(arguments.read(got, sizeof got));
        EXPECT_EQ(std::string(got, sizeof got), "frame|2||");
        EXPECT_EQ(arguments.finish(), 0);
    }
    EXPECT_FALSE(DecoderProcess(dir.file("missing"), {}, input.fd(), 10s).started());
}

TEST(DecoderProcess, EndsCrashedHungAndStoppedProgramsAndLeavesNothingBehind)
{
    TempDir dir;
    const InputFile input(dir, "frame bytes");
    const int descriptors = veltest::openDescriptorCount();
    char byte = 0;
    {
        DecoderProcess crash(script(dir, "crash", "printf x; kill -SEGV $$"), {}, input.fd(), 10s);
        EXPECT_TRUE(crash.read(&byte, 1));
        EXPECT_FALSE(crash.read(&byte, 1));
        EXPECT_EQ(crash.finish(), std::nullopt);
    }
    {
        DecoderProcess hang(script(dir, "hang", "exec sleep 60"), {}, input.fd(), 200ms);
        EXPECT_FALSE(hang.read(&byte, 1));
    }
    {
        // A stop request is the only way out here: the time limit is far away.
        int polls = 0;
        DecoderProcess stopped(script(dir, "stopped", "exec sleep 60"), {}, input.fd(), 1h, [&] { return ++polls == 3; });
        EXPECT_FALSE(stopped.read(&byte, 1));
        EXPECT_EQ(polls, 3);
    }
    {
        // Killed while a process it started still runs: that one goes too.
        DecoderProcess parent(script(dir, "parent", "sleep 60 & echo $! > \"$0.pid\"; printf x; wait"), {},
                              input.fd(), 1h);
        EXPECT_TRUE(parent.read(&byte, 1));
    }
    EXPECT_TRUE(processEnds(std::stoi(veltest::readBytes(dir.file("parent.pid")))));
    EXPECT_TRUE(veltest::noChildProcesses());
    EXPECT_EQ(veltest::openDescriptorCount(), descriptors);
}

TEST(DecodeReply, RefusesHeadersOutsideTheCallersLimits)
{
    const velraw::ReplyLimits limits{1000, 500000, 1, 4, 2, 64};
    const auto header = [&](uint32_t width, uint32_t height, uint32_t channels, uint32_t bytesPerSample,
                            uint32_t metadataBytes) {
        TempDir dir;
        const int fd = ::open(dir.file("reply").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        velraw::writeReplyHeader(fd, width, height, channels, bytesPerSample, metadataBytes);
        velraw::ReplyHeader written;
        const bool complete = ::pread(fd, &written, sizeof written, 0) == sizeof written;
        ::close(fd);
        const velraw::ReplyReader read = [&](void* into, size_t count) {
            std::memcpy(into, &written, std::min(count, sizeof written));
            return complete && count == sizeof written;
        };
        return velraw::readReplyHeader(read, limits).has_value();
    };
    EXPECT_TRUE(header(1000, 500, 4, 2, 64));
    EXPECT_FALSE(header(0, 500, 3, 2, 0));
    EXPECT_FALSE(header(1001, 10, 3, 2, 0));
    EXPECT_FALSE(header(10, 1001, 3, 2, 0));
    EXPECT_FALSE(header(1000, 501, 3, 2, 0));
    EXPECT_FALSE(header(0x80000000u, 0x80000000u, 3, 2, 0));  // a product that wraps in 32 bits
    EXPECT_FALSE(header(10, 10, 0, 2, 0));
    EXPECT_FALSE(header(10, 10, 5, 2, 0));
    EXPECT_FALSE(header(10, 10, 3, 1, 0));
    EXPECT_FALSE(header(10, 10, 3, 2, 65));
}
