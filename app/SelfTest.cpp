#include "SelfTest.h"

#include <cstdio>

#include <wx/frame.h>
#include <wx/menu.h>
#include <wx/toplevel.h>

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
