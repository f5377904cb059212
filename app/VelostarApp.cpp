#include "VelostarApp.h"

#include <cstdlib>

#include <wx/image.h>

#include "Icons.h"
#include "MainFrame.h"
#include "SelfTest.h"
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
    // A check for test machines: print the main window and its menus, then leave.
    const char* selfTest = std::getenv("VELOSTAR_SELFTEST");
    if (selfTest && std::string(selfTest) == "1")
        CallAfter(&VelostarApp::runSelfTest);
    return true;
}

void VelostarApp::runSelfTest()
{
    wxWindow* top = GetTopWindow();
    try {
        const wxString title = uiText(velapp::txt::ProgramName) + " - " + uiText(velapp::txt::NewProject);
        m_selfTestFailed = !printMainWindow(title) || !runEmptyProcessing(top);
    } catch (...) {
        m_selfTestFailed = true;
    }
    if (top)
        top->Close(true);
    else
        ExitMainLoop();
}

int VelostarApp::OnRun()
{
    const int code = wxApp::OnRun();
    return m_selfTestFailed ? 1 : code;
}
