#include "VelostarThread.h"

#include <exception>
#include <new>

#include "EngineSetup.h"
#include "ProgressEvent.h"
#include "ProgressLog.h"
#include "Velostar.h"

VelostarThread::VelostarThread(wxEvtHandler* owner, const velapp::RunSettings& settings)
    : wxThread(wxTHREAD_JOINABLE), m_owner(owner)
{
    wxCriticalSectionLocker lock(m_lock);
    m_engine = Velostar::create();
    if (m_engine)
        velapp::configureEngine(*m_engine, settings);
}

VelostarThread::~VelostarThread() { releaseEngine(); }

void VelostarThread::releaseEngine()
{
    wxCriticalSectionLocker lock(m_lock);
    Velostar::destroy(m_engine);
    m_engine = nullptr;
}

int VelostarThread::totalSteps()
{
    wxCriticalSectionLocker lock(m_lock);
    return m_engine ? m_engine->getTotalSteps() : 0;
}

void VelostarThread::requestCancel()
{
    wxCriticalSectionLocker lock(m_lock);
    if (m_engine)
        m_engine->cancel();
    m_cancelled = true;
}

void VelostarThread::onProgress(void* user, const ProgressRecord* record)
{
    auto* self = static_cast<VelostarThread*>(user);
    if (!self || !record)
        return;
    try {
        wxQueueEvent(self->m_owner, new ProgressEvent(record->stepsDone, velapp::fileNamePartOf(record->path),
                                                      record->stage, record->detail));
    } catch (...) {
        // A report lost to memory shortage only leaves a gap in the log.
    }
}

wxThread::ExitCode VelostarThread::Entry()
{
    int result = VELOSTAR_UNKNOWN_ERROR;
    try {
        // No lock around run(): cancel() must reach the engine while it works. The pointer
        // itself only changes under the lock, on this thread, after run() returned.
        Velostar* engine = m_engine;
        if (engine) {
            engine->setProgressCallback(this, &VelostarThread::onProgress);
            result = engine->run();
        }
    } catch (const std::bad_alloc&) {
        result = VELOSTAR_OUT_OF_MEMORY;
    } catch (...) {
        result = VELOSTAR_UNKNOWN_ERROR;
    }
    m_result = result;
    releaseEngine();
    try {
        wxQueueEvent(m_owner, new wxCommandEvent(EVT_VELOSTAR_FINISHED));
    } catch (...) {
        // Nothing may leave a thread body; without memory for one event there is no recovery.
    }
    return nullptr;
}
