#pragma once

#include <atomic>

#include <wx/event.h>
#include <wx/thread.h>

#include "RunSettings.h"

class Velostar;
struct ProgressRecord;

// One run of the engine on a joinable worker thread. The constructor creates and configures the
// engine on the UI thread; Entry() runs it, releases it and queues EVT_VELOSTAR_FINISHED to the
// owner. Progress reaches the owner only as queued ProgressEvents. The critical section guards the
// engine pointer so that a cancel from the UI thread never meets a released engine.
class VelostarThread : public wxThread {
public:
    VelostarThread(wxEvtHandler* owner, const velapp::RunSettings& settings);
    ~VelostarThread() override;

    // UI thread, before Run(): the engine's step count for this run (0 without an engine).
    int totalSteps();
    // UI thread: asks a running engine to stop; harmless once the engine is gone.
    void requestCancel();
    bool cancelled() const { return m_cancelled; }
    // Valid once the finished event arrived.
    int result() const { return m_result; }

protected:
    ExitCode Entry() override;

private:
    static void onProgress(void* user, const ProgressRecord* record);
    void releaseEngine();

    wxEvtHandler* m_owner;
    Velostar* m_engine = nullptr;
    wxCriticalSection m_lock;
    std::atomic<bool> m_cancelled{false};
    std::atomic<int> m_result{0};
};
