#include "CancelWatcher.h"

#include <csignal>

namespace velcli {

namespace {

// SIGUSR2 only wakes the watcher when the run is over.
sigset_t watchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR2);
    return set;
}

}  // namespace

void CancelWatcher::blockSignals()
{
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

CancelWatcher::CancelWatcher(std::function<void()> onSignal) : m_onSignal(std::move(onSignal))
{
    blockSignals();
    m_started = pthread_create(&m_thread, nullptr, &CancelWatcher::watch, this) == 0;
}

CancelWatcher::~CancelWatcher()
{
    if (!m_started)
        return;
    pthread_kill(m_thread, SIGUSR2);
    pthread_join(m_thread, nullptr);
}

bool CancelWatcher::signalled() const { return m_signal.load() != 0; }

void* CancelWatcher::watch(void* raw)
{
    auto* self = static_cast<CancelWatcher*>(raw);
    const sigset_t set = watchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            continue;
        if (signal == SIGUSR2)
            return nullptr;
        if (!self->signalled()) {
            self->m_signal.store(signal);
            self->m_onSignal();
            continue;
        }
        // Asked twice: stop waiting for a clean cancel.
        std::signal(signal, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(signal);
    }
}

}  // namespace velcli
