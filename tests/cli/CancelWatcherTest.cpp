#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "CancelWatcher.h"

namespace {

// Runs `body` in a child process (signals must not reach the test runner); returns its wait status.
template <typename Body>
int inChild(Body body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);  // never hang the suite
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

bool waitFor(const std::atomic<int>& value, int wanted)
{
    for (int i = 0; i < 1000 && value.load() < wanted; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return value.load() >= wanted;
}

}  // namespace

TEST(CancelWatcher, SignalCancelsOnceOnTheWatcherThread)
{
    for (int signal : {SIGINT, SIGTERM}) {
        const int status = inChild([signal] {
            std::atomic<int> calls{0};
            std::thread::id caller;
            {
                velcli::CancelWatcher watcher([&] {
                    caller = std::this_thread::get_id();
                    ++calls;
                });
                // A worker started afterwards inherits the blocked mask, so the watcher gets the signal.
                std::thread worker([&] { kill(getpid(), signal); });
                worker.join();
                if (!waitFor(calls, 1) || !watcher.signalled())
                    return 2;
            }
            return calls.load() == 1 && caller != std::this_thread::get_id() ? 0 : 3;
        });
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << signal;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "signal " << signal;
    }
}

TEST(CancelWatcher, SecondSignalEndsTheProcess)
{
    const int status = inChild([] {
        std::atomic<int> calls{0};
        velcli::CancelWatcher watcher([&] { ++calls; });
        kill(getpid(), SIGINT);
        if (!waitFor(calls, 1))
            return 2;
        kill(getpid(), SIGINT);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        return 0;
    });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
}

TEST(CancelWatcher, EndsQuietlyWithoutASignal)
{
    const int status = inChild([] {
        std::atomic<int> calls{0};
        { velcli::CancelWatcher watcher([&] { ++calls; }); }
        return calls.load() == 0 ? 0 : 2;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
