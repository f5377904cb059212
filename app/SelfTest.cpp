#include "SelfTest.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/frame.h>
#include <wx/menu.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/toplevel.h>
#include <wx/utils.h>

#include "MainFrame.h"
#include "ProgressLog.h"
#include "UiText.h"
#include "VelostarDialog.h"

namespace {

constexpr std::chrono::seconds kDialogWait{30};

void printLine(const char* kind, const wxString& text)
{
    std::printf("%s: %s\n", kind, text.utf8_str().data());
}

void printMenu(const wxMenu& menu)
{
    for (const wxMenuItem* item : menu.GetMenuItems()) {
        if (item->IsSeparator())
            printLine("item", "-");
        else
            printLine("item", item->GetItemLabel());
    }
}

// One "log: " line for each line of the dialog's log.
void printLog(const wxString& log)
{
    for (const wxString& line : wxSplit(log, '\n', '\0')) {
        if (!line.empty())
            printLine("log", line);
    }
}

VelostarDialog* findProgressDialog()
{
    for (wxWindow* window : wxTopLevelWindows) {
        if (auto* dialog = dynamic_cast<VelostarDialog*>(window))
            return dialog;
    }
    return nullptr;
}

template <typename Child> Child* findChild(wxWindow* parent)
{
    for (wxWindow* child : parent->GetChildren()) {
        if (auto* found = dynamic_cast<Child*>(child))
            return found;
    }
    return nullptr;
}

class MessageBoxAnswerer : public wxModalDialogHook {
protected:
    int Enter(wxDialog* dialog) override
    {
        auto* box = dynamic_cast<wxMessageDialog*>(dialog);
        if (!box)
            return wxID_NONE;
        printLine("message", box->GetCaption() + ": " + box->GetMessage());
        std::fflush(stdout);
        return box->GetMessageDialogStyle() & wxYES_NO ? wxID_NO : wxID_OK;
    }
};

}  // namespace

void answerMessageBoxes()
{
    static MessageBoxAnswerer answerer;
    answerer.Register();
}

bool printMainWindow(const wxString& expectedTitle)
{
    for (wxWindow* window : wxTopLevelWindows) {
        auto* frame = dynamic_cast<wxFrame*>(window);
        if (!frame || frame->GetTitle() != expectedTitle)
            continue;
        printLine("window", frame->GetTitle());
        const wxMenuBar* bar = frame->GetMenuBar();
        if (!bar)
            return false;
        for (size_t i = 0; i < bar->GetMenuCount(); ++i) {
            printLine("menu", bar->GetMenuLabel(i));
            printMenu(*bar->GetMenu(i));
        }
        std::fflush(stdout);
        return true;
    }
    printLine("missing", expectedTitle);
    std::fflush(stdout);
    return false;
}

bool runEmptyProcessing(wxWindow* parent)
{
    velapp::RunSettings settings;
    settings.output = L"/nonexistent/selftest.tif";
    VelostarDialog dialog(parent, settings);
    bool closed = false;
    // Waits for the run to end (the button turns into "Close"), then presses it.
    wxTimer poll;
    poll.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        auto* button = findChild<wxButton>(&dialog);
        auto* log = findChild<wxTextCtrl>(&dialog);
        if (!button || !log || !button->IsEnabled() || button->GetLabel() != uiText(velapp::txt::Close))
            return;
        poll.Stop();
        printLog(log->GetValue());
        wxCommandEvent click(wxEVT_BUTTON, button->GetId());
        click.SetEventObject(button);
        button->ProcessWindowEvent(click);
        closed = true;
    });
    poll.Start(50);
    const int endCode = dialog.runModal();
    poll.Stop();
    std::printf("end: %d\n", endCode);
    std::fflush(stdout);
    return closed && endCode != velapp::EndNone;
}

bool runStacking(MainFrame& frame, const wxArrayString& starFiles, const wxString& output, bool cancel)
{
    frame.addStarFiles(starFiles);
    frame.setOutputFile(output);
    return watchStacking(frame, cancel, [&frame] { frame.pressStart(); });
}

bool watchStacking(MainFrame& frame, bool cancel, const std::function<void()>& pressStart)
{
    (void)frame;
    bool appeared = false;
    bool cancelPressed = false;
    bool ended = false;
    int endCode = velapp::EndNone;
    const wxString analyzing = uiText(velapp::txt::AnalyzingImage);
    const wxString composing = uiText(velapp::txt::Composing);
    // Start runs the dialog modally, so everything after it happens on this timer inside the
    // dialog's own event loop.
    const auto pressed = std::chrono::steady_clock::now();
    wxTimer poll;
    poll.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        VelostarDialog* dialog = findProgressDialog();
        if (!dialog && !appeared && std::chrono::steady_clock::now() - pressed > kDialogWait) {
            // Start refused (its message box was answered) or never ran.
            printLine("missing", uiText(velapp::txt::Processing));
            std::fflush(stdout);
            std::_Exit(1);
        }
        if (!dialog || ended)
            return;
        appeared = true;
        auto* button = findChild<wxButton>(dialog);
        auto* log = findChild<wxTextCtrl>(dialog);
        if (!button || !log)
            return;
        const wxString text = log->GetValue();
        if (button->IsEnabled() && button->GetLabel() == uiText(velapp::txt::Close)) {
            ended = true;
            endCode = dialog->endCode();
            printLog(text);
        } else if (cancel && !cancelPressed && (text.Contains(analyzing) || text.Contains(composing))) {
            cancelPressed = true;
            dialog->setCancelConfirmation([] { return true; });
            printLine("press", button->GetLabel());
        } else {
            return;
        }
        wxCommandEvent click(wxEVT_BUTTON, button->GetId());
        click.SetEventObject(button);
        button->ProcessWindowEvent(click);
    });
    poll.Start(20);
    pressStart();
    // A simulated click reaches Start only once events are handled; the dialog then runs here.
    while (!(ended && !findProgressDialog()) && (appeared || std::chrono::steady_clock::now() - pressed < kDialogWait)) {
        wxTheApp->Yield(true);
        wxMilliSleep(10);
    }
    poll.Stop();
    if (!appeared)
        printLine("missing", uiText(velapp::txt::Processing));
    std::printf("end: %d\n", endCode);
    std::fflush(stdout);
    return appeared && ended;
}

bool saveAndRunProject(MainFrame& frame, const wxString& projectPath)
{
    if (!frame.saveProjectTo(projectPath)) {
        printLine("missing", projectPath);
        std::fflush(stdout);
        return false;
    }
    printLine("saved", frame.GetTitle());
    std::fflush(stdout);
    return watchStacking(frame, false, [&frame] { frame.pressStart(); });
}
