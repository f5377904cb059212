#include "SelfTest.h"

#include <cstdio>

#include <wx/button.h>
#include <wx/frame.h>
#include <wx/menu.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/toplevel.h>

#include "ProgressLog.h"
#include "UiText.h"
#include "VelostarDialog.h"

namespace {

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

template <typename Child> Child* findChild(wxWindow* parent)
{
    for (wxWindow* child : parent->GetChildren()) {
        if (auto* found = dynamic_cast<Child*>(child))
            return found;
    }
    return nullptr;
}

}  // namespace

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
        printLine("log", log->GetValue());
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
