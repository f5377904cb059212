#include "VelostarApp.h"

#include <cstdlib>

#include <wx/image.h>

#include "Icons.h"
#include "MainFrame.h"
#include "SelfTest.h"
#include "SelfTestInput.h"
#include "SystemLanguage.h"
#include "UiText.h"

wxIMPLEMENT_APP(VelostarApp);

bool VelostarApp::OnInit()
{
    if (!wxApp::OnInit())
        return false;
    try {
        wxImage::AddHandler(new wxJPEGHandler);
        wxImage::AddHandler(new wxTIFFHandler);
        wxImage::AddHandler(new wxXPMHandler);
        wxImage::AddHandler(new wxPNGHandler);
        velapp::programTexts().fill(velapp::chooseLanguage(std::getenv("VELLANG"), systemLanguage()));
        createIcons();
        auto* frame = new MainFrame;
        SetTopWindow(frame);
        frame->Show();
    } catch (...) {
        return false;
    }
    // Checks for test machines: print the main window and its menus, run or cancel a job, then leave.
    const char* selfTest = std::getenv("VELOSTAR_SELFTEST");
    m_selfTestMode = selfTest ? selfTest : "";
    if (m_selfTestMode == "1" || m_selfTestMode == "run" || m_selfTestMode == "cancel" ||
        m_selfTestMode == "options" || m_selfTestMode == "shot")
        CallAfter(&VelostarApp::runSelfTest);
    return true;
}

void VelostarApp::runSelfTest()
{
    wxWindow* top = GetTopWindow();
    try {
        const wxString title = uiText(velapp::txt::ProgramName) + " - " + uiText(velapp::txt::NewProject);
        if (!printMainWindow(title))
            m_selfTestFailed = true;
        else if (m_selfTestMode == "1")
            m_selfTestFailed = !runEmptyProcessing(top);
        else
            m_selfTestFailed = !runSelfTestJob(dynamic_cast<MainFrame*>(top));
    } catch (...) {
        m_selfTestFailed = true;
    }
    if (top)
        top->Close(true);
    else
        ExitMainLoop();
}

// The job comes from VELOSTAR_SELFTEST_FILES (star images separated by newlines) and
// VELOSTAR_SELFTEST_OUTPUT (for "shot": the screenshots' path prefix).
bool VelostarApp::runSelfTestJob(MainFrame* frame)
{
    const char* files = std::getenv("VELOSTAR_SELFTEST_FILES");
    const char* output = std::getenv("VELOSTAR_SELFTEST_OUTPUT");
    if (!frame || !files || !output)
        return false;
    wxArrayString stars;
    for (const wxString& path : wxSplit(wxString::FromUTF8(files), '\n', '\0')) {
        if (!path.empty())
            stars.Add(path);
    }
    if (m_selfTestMode == "options")
        return runOptionsJob(*frame, stars, wxString::FromUTF8(output));
    if (m_selfTestMode == "shot")
        return saveScreenshots(*frame, stars, wxString::FromUTF8(output));
    return runStacking(*frame, stars, wxString::FromUTF8(output), m_selfTestMode == "cancel");
}

int VelostarApp::OnRun()
{
    const int code = wxApp::OnRun();
    return m_selfTestFailed ? 1 : code;
}
