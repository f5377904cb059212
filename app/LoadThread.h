#pragma once

#include <wx/event.h>
#include <wx/thread.h>

#include "PreviewLoading.h"

// Queued to the target once when a load has ended, whatever its outcome (GetInt() is 1 when an
// image was read). It carries no image: the target Wait()s for the thread, then takes the result.
wxDECLARE_EVENT(EVT_PREVIEW_LOADED, wxThreadEvent);

// One preview load on a joinable thread. The thread touches only its own deep copies of the
// arguments and the images it creates; the owner adopts them on the UI thread through
// takeResult() after Wait(), which orders the thread's writes before the owner's reads.
class LoadThread : public wxThread {
public:
    LoadThread(wxEvtHandler* target, wxString path, int limit, wxString maskPath);

    PreviewLoadResult takeResult();

protected:
    ExitCode Entry() override;

private:
    wxEvtHandler* m_target;
    const wxString m_path;
    const int m_limit;
    const wxString m_maskPath;
    PreviewLoadResult m_result;
};
