#include "SelfTestUser.h"

#include <chrono>
#include <cstdio>

#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/utils.h>

namespace selftest {

namespace {

constexpr std::chrono::seconds kStepWait{10};

}  // namespace

void printLine(const char* kind, const wxString& text)
{
    std::printf("%s: %s\n", kind, text.utf8_str().data());
    std::fflush(stdout);
}

bool saveScreenPicture(wxWindow& window, wxSize size, const wxString& path)
{
    wxWindowDC screen(&window);
    wxBitmap picture(size.GetWidth(), size.GetHeight(), 24);
    wxMemoryDC memory(picture);
    memory.Blit(0, 0, size.GetWidth(), size.GetHeight(), &screen, 0, 0);
    memory.SelectObject(wxNullBitmap);
    return picture.SaveFile(path, wxBITMAP_TYPE_PNG);
}

void settle(int milliseconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        wxTheApp->Yield(true);
        wxMilliSleep(10);
    }
}

bool check(const wxString& step, const std::function<bool()>& taken)
{
    const auto end = std::chrono::steady_clock::now() + kStepWait;
    bool done = taken();
    while (!done && std::chrono::steady_clock::now() < end) {
        settle(50);
        done = taken();
    }
    static const auto begin = std::chrono::steady_clock::now();
    printLine("step", step + (done ? " ok" : " FAILED") + wxString::Format(" (%lld ms)", (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count()));
    return done;
}

}  // namespace selftest
