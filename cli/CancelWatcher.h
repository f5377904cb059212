#pragma once

#include <atomic>
#include <functional>
#include <pthread.h>

namespace velcli {

// Turns SIGINT and SIGTERM into one call of `onSignal` on a thread of its own, so the handler
// may take locks (the engine's cancel does). A second signal ends the process the default way.
// Construct it before any other thread exists: the signals are blocked in the constructing
// thread and so in every thread started after it.
class CancelWatcher {
public:
    explicit CancelWatcher(std::function<void()> onSignal);
    ~CancelWatcher();
    CancelWatcher(const CancelWatcher&) = delete;
    CancelWatcher& operator=(const CancelWatcher&) = delete;

    // Blocks the signals for the calling thread and its future threads.
    static void blockSignals();
    bool signalled() const;

private:
    static void* watch(void* self);

    std::function<void()> m_onSignal;
    pthread_t m_thread{};
    bool m_started = false;
    std::atomic<int> m_signal{0};
};

}  // namespace velcli
