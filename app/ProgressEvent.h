#pragma once

#include <string>

#include <wx/event.h>

// One engine progress report, queued from the worker thread to the progress dialog. Holds only
// its own copies, so that it may cross threads.
class ProgressEvent : public wxCommandEvent {
public:
    ProgressEvent(int stepsDone, std::wstring name, int stage, int detail);

    wxEvent* Clone() const override { return new ProgressEvent(*this); }

    int stepsDone() const { return m_stepsDone; }
    const std::wstring& name() const { return m_name; }
    int stage() const { return m_stage; }
    int detail() const { return m_detail; }

private:
    int m_stepsDone;
    std::wstring m_name;  // file-name part of the reported path, empty when there was none
    int m_stage;
    int m_detail;
};

wxDECLARE_EVENT(EVT_VELOSTAR_PROGRESS, ProgressEvent);
// Queued once when the worker's body has ended and its result is set; no payload.
wxDECLARE_EVENT(EVT_VELOSTAR_FINISHED, wxCommandEvent);
