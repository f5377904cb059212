#include "VelostarDialog.h"

#include <algorithm>
#include <exception>
#include <new>

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include "ProgressLog.h"
#include "UiText.h"
#include "Utf8.h"
#include "Velostar.h"
#include "VelostarThread.h"

using namespace velapp;

namespace {

constexpr int kTimerPeriodMs = 200;

}  // namespace

VelostarDialog::VelostarDialog(wxWindow* parent, const RunSettings& settings)
    : wxDialog(parent, wxID_ANY, uiText(txt::Processing), wxDefaultPosition, wxDefaultSize, wxCAPTION),
      m_settings(settings), m_timer(this)
{
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    m_gauge = new wxGauge(this, wxID_ANY, 100, wxDefaultPosition, wxSize(600, 40), wxGA_HORIZONTAL);
    sizer->Add(m_gauge, 0, wxEXPAND | wxTOP | wxLEFT | wxRIGHT, 5);
    m_log = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                           wxTE_MULTILINE | wxTE_READONLY | wxTE_RICH2);
    sizer->Add(m_log, 1, wxEXPAND | wxALL, 5);
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    m_timeText = new wxStaticText(this, wxID_ANY, wxEmptyString);
    row->Add(m_timeText, 1, wxALIGN_CENTER_VERTICAL | wxLEFT, 5);
    m_button = new wxButton(this, wxID_ANY, uiText(txt::Cancel));
    row->Add(m_button, 0, wxALL, 5);
    sizer->Add(row, 0, wxEXPAND);
    SetSizerAndFit(sizer);
    fitToParent();

    Bind(EVT_VELOSTAR_PROGRESS, &VelostarDialog::onProgress, this);
    Bind(EVT_VELOSTAR_FINISHED, &VelostarDialog::onFinished, this);
    m_button->Bind(wxEVT_BUTTON, &VelostarDialog::onButton, this);
    Bind(wxEVT_TIMER, &VelostarDialog::onTimer, this);
    Bind(wxEVT_CLOSE_WINDOW, &VelostarDialog::onClose, this);
    // Escape acts as the button: it asks before cancelling, and closes once the run ended.
    SetEscapeId(m_button->GetId());
}

VelostarDialog::~VelostarDialog()
{
    m_timer.Stop();
    stopThread();
}

void VelostarDialog::stopThread()
{
    if (!m_thread)
        return;
    m_thread->requestCancel();
    m_thread->Wait();
    delete m_thread;
    m_thread = nullptr;
}

void VelostarDialog::fitToParent()
{
    wxSize size = GetSize();
    const wxSize parentSize = GetParent() ? GetParent()->GetSize() : wxSize(0, 0);
    size.x = std::max({size.x, 600, parentSize.x / 3});
    size.y = std::max({size.y, 400, parentSize.y / 2});
    SetSize(size);
}

int VelostarDialog::runModal()
{
    m_failCount = 0;
    m_timeLine.restart();
    m_start = std::chrono::steady_clock::now();
    try {
        m_thread = new VelostarThread(this, m_settings);
        m_gauge->SetRange(std::max(1, m_thread->totalSteps()));
        m_start = std::chrono::steady_clock::now();
        if (m_thread->Run() != wxTHREAD_NO_ERROR) {
            delete m_thread;
            m_thread = nullptr;
            finish(VELOSTAR_UNKNOWN_ERROR);
        } else {
            m_timer.Start(kTimerPeriodMs);
        }
    } catch (const std::bad_alloc&) {
        delete m_thread;
        m_thread = nullptr;
        finish(VELOSTAR_OUT_OF_MEMORY);
    } catch (...) {
        delete m_thread;
        m_thread = nullptr;
        finish(VELOSTAR_UNKNOWN_ERROR);
    }
    if (wxWindow* parent = GetParent()) {
        const wxPoint at = parent->GetPosition() + (parent->GetSize() - GetSize()) / 2;
        Move(at);
    }
    return ShowModal();
}

void VelostarDialog::appendLog(const std::string& utf8)
{
    if (!utf8.empty())
        m_log->AppendText(wxString::FromUTF8(utf8));
}

void VelostarDialog::onProgress(ProgressEvent& event)
{
    // Reports that were still queued when the run ended belong to no run any more.
    if (!m_thread)
        return;
    try {
        m_gauge->SetValue(std::clamp(event.stepsDone(), 0, m_gauge->GetRange()));
        const LogLine line = progressLogLine(event.stage(), event.detail(), toUtf8(event.name()));
        if (line.failed)
            ++m_failCount;
        appendLog(line.text);
    } catch (...) {
        // A line that could not be composed is left out; the run goes on.
    }
}

void VelostarDialog::onFinished(wxCommandEvent&)
{
    if (!m_thread)
        return;
    m_thread->Wait();
    const int result = m_thread->result();
    delete m_thread;
    m_thread = nullptr;
    try {
        finish(result);
    } catch (...) {
        m_button->SetLabel(uiText(txt::Close));
        m_button->Enable();
    }
}

void VelostarDialog::finish(int result)
{
    m_endCode = EndFailed;
    const FinishReport report = finishReport(result, m_settings, m_failCount);
    appendLog(report.text);
    m_endCode = report.endCode;
    if (report.bell)
        wxBell();
    m_timer.Stop();
    updateTimeText();
    m_timeLine.restart();
    m_button->SetLabel(uiText(txt::Close));
    m_button->Enable();
}

void VelostarDialog::onButton(wxCommandEvent&)
{
    try {
        pressButton();
    } catch (...) {
        // The dialog stays as it was; the user may press again.
    }
}

void VelostarDialog::pressButton()
{
    if (!m_thread) {
        EndModal(m_endCode);
        return;
    }
    // The run may have ended while the question was open.
    if (!confirmCancel() || !m_thread)
        return;
    m_button->Disable();
    m_button->SetLabel(uiText(txt::Cancelling));
    m_thread->requestCancel();
}

bool VelostarDialog::confirmCancel()
{
    if (m_confirmCancel)
        return m_confirmCancel();
    return wxMessageBox(uiText(txt::CancelProcessing), uiText(txt::Cancel), wxYES_NO | wxNO_DEFAULT | wxICON_QUESTION,
                        this) == wxYES;
}

void VelostarDialog::onClose(wxCloseEvent& event)
{
    // A close request from the window manager never abandons a running engine.
    if (m_thread) {
        if (event.CanVeto())
            event.Veto();
        return;
    }
    EndModal(m_endCode);
}

void VelostarDialog::onTimer(wxTimerEvent&)
{
    try {
        updateTimeText();
    } catch (...) {
        // The time line is informative only.
    }
}

void VelostarDialog::updateTimeText()
{
    const auto elapsed = std::chrono::steady_clock::now() - m_start;
    const int seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
    if (auto line = m_timeLine.tick(seconds, m_gauge->GetValue(), m_gauge->GetRange(), m_thread != nullptr))
        m_timeText->SetLabel(wxString::FromUTF8(*line));
}
