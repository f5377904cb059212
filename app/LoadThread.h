#pragma once

#include <wx/event.h>
#include <wx/thread.h>

#include "PreviewLoading.h"

// Queued to the target once when a load has ended, whatever its outcome: GetInt() is 1 when an
// image was read, GetExtraLong() the thread's serial(). It carries no image: the target Wait()s
// for the thread, then takes the result. An event of a load the target has already discarded
// may still arrive; its serial tells it apart.
wxDECLARE_EVENT(EVT_PREVIEW_LOADED, wxThreadEvent);

// One preview load on a joinable thread. The thread touches only its own deep copies of the
// arguments and the images it creates; the owner adopts them on the UI thread through
// takeResult() after Wait(), which orders the thread's writes before the owner's reads.
// Delete() from the UI thread abandons the load at its next decoding step and waits for it.
class LoadThread : public wxThread {
public:
    LoadThread(wxEvtHandler* target, wxString path, int limit, wxString maskPath);

    PreviewLoadResult takeResult();
    // Distinct for every LoadThread of the process.
    long serial() const { return m_serial; }

protected:
    ExitCode Entry() override;

private:
    wxEvtHandler* m_target;
    const wxString m_path;
    const int m_limit;
    const wxString m_maskPath;
    const long m_serial;
    PreviewLoadResult m_result;
};
