#include "LoadThread.h"

#include <atomic>
#include <utility>

wxDEFINE_EVENT(EVT_PREVIEW_LOADED, wxThreadEvent);

namespace {

long nextSerial()
{
    static std::atomic<long> last{0};
    return ++last;
}

}  // namespace

LoadThread::LoadThread(wxEvtHandler* target, wxString path, int limit, wxString maskPath)
    : wxThread(wxTHREAD_JOINABLE), m_target(target), m_path(path.Clone()), m_limit(limit),
      m_maskPath(maskPath.Clone()), m_serial(nextSerial())
{
}

PreviewLoadResult LoadThread::takeResult() { return std::exchange(m_result, PreviewLoadResult{}); }

wxThread::ExitCode LoadThread::Entry()
{
    m_result = loadPreview(m_path, m_limit, m_maskPath, [this] { return TestDestroy(); });
    if (!m_target)
        return nullptr;
    try {
        auto* event = new wxThreadEvent(EVT_PREVIEW_LOADED);
        event->SetInt(m_result.ok ? 1 : 0);
        event->SetExtraLong(m_serial);
        wxQueueEvent(m_target, event);
    } catch (...) {
        // Nothing may leave a thread body; without memory for one event there is no recovery.
    }
    return nullptr;
}
