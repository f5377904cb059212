#pragma once

#include <chrono>
#include <functional>
#include <utility>

#include <wx/dialog.h>
#include <wx/timer.h>

#include "ProgressEvent.h"
#include "RemainingTime.h"
#include "RunSettings.h"

class VelostarThread;
class wxButton;
class wxGauge;
class wxStaticText;
class wxTextCtrl;

// The modal progress dialog of one run: gauge, log, elapsed and remaining time, Cancel/Close.
// It owns the run's VelostarThread from start to join. UI thread only.
class VelostarDialog : public wxDialog {
public:
    VelostarDialog(wxWindow* parent, const velapp::RunSettings& settings);
    ~VelostarDialog() override;

    // Starts the run and shows the dialog; returns the end code (velapp::EndCode).
    int runModal();

    // The end code once the run has ended (velapp::EndCode).
    int endCode() const { return m_endCode; }

    // Replaces the "cancel processing?" question of the button with `confirm` (true for Yes).
    // Only the self-test uses it, since nobody is there to answer the message box.
    void setCancelConfirmation(std::function<bool()> confirm) { m_confirmCancel = std::move(confirm); }

private:
    void onProgress(ProgressEvent& event);
    void onFinished(wxCommandEvent& event);
    void onButton(wxCommandEvent& event);
    void onTimer(wxTimerEvent& event);
    void onClose(wxCloseEvent& event);

    void pressButton();
    void finish(int result);
    void updateTimeText();
    void appendLog(const std::string& utf8);
    void fitToParent();
    void stopThread();

    bool confirmCancel();

    const velapp::RunSettings& m_settings;
    std::function<bool()> m_confirmCancel;
    VelostarThread* m_thread = nullptr;
    int m_endCode = 0;
    int m_failCount = 0;
    std::chrono::steady_clock::time_point m_start;
    velapp::TimeText m_timeLine;
    wxTimer m_timer;
    wxGauge* m_gauge = nullptr;
    wxTextCtrl* m_log = nullptr;
    wxStaticText* m_timeText = nullptr;
    wxButton* m_button = nullptr;
};
