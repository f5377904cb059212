#include "VelostarApp.h"

#include <cstdlib>

#include <wx/cmdline.h>
#include <wx/filename.h>
#include <wx/image.h>

#include "Icons.h"
#include "MainFrame.h"
#include "SelfTest.h"
#include "SelfTestInput.h"
#include "SelfTestPreview.h"
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
        // Checks for test machines: print the main window and its menus, run, cancel or set up a
        // job, then leave; message boxes are answered, since nobody is there to.
        const char* selfTest = std::getenv("VELOSTAR_SELFTEST");
        m_selfTestMode = selfTest ? selfTest : "";
        if (m_selfTestMode == "1" || m_selfTestMode == "run" || m_selfTestMode == "cancel" ||
            m_selfTestMode == "options" || m_selfTestMode == "shot" || m_selfTestMode == "project" ||
            m_selfTestMode == "preview" || m_selfTestMode == "loading")
            answerMessageBoxes();
        else
            m_selfTestMode.clear();
        auto* frame = new MainFrame;
        SetTopWindow(frame);
        openProjectArgument(*frame);
        frame->Show();
    } catch (...) {
        return false;
    }
    if (!m_selfTestMode.empty())
        CallAfter(&VelostarApp::runSelfTest);
    return true;
}

void VelostarApp::OnInitCmdLine(wxCmdLineParser& parser)
{
    wxApp::OnInitCmdLine(parser);
    parser.AddParam("file", wxCMD_LINE_VAL_STRING, wxCMD_LINE_PARAM_OPTIONAL | wxCMD_LINE_PARAM_MULTIPLE);
}

void VelostarApp::openProjectArgument(MainFrame& frame)
{
    for (int i = 1; i < argc; ++i) {
        const wxString argument = argv[i];
        if (argument.EndsWith(".vlp")) {
            if (frame.openProject(argument))
                m_projectArgument = argument;
            return;
        }
    }
}

void VelostarApp::runSelfTest()
{
    wxWindow* top = GetTopWindow();
    try {
        const wxString project =
            m_projectArgument.empty() ? uiText(velapp::txt::NewProject) : wxFileName(m_projectArgument).GetName();
        const wxString title = uiText(velapp::txt::ProgramName) + " - " + project;
        if (!printMainWindow(title))
            m_selfTestFailed = true;
        else if (m_selfTestMode == "1")
            m_selfTestFailed = !runEmptyProcessing(top);
        else if (m_selfTestMode == "project")
            m_selfTestFailed = !runSelfTestProject(dynamic_cast<MainFrame*>(top));
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
// VELOSTAR_SELFTEST_OUTPUT (for "shot" and "preview": the path prefix of what they save; "loading"
// takes the files as images to show and ignores it).
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
    if (m_selfTestMode == "preview")
        return runPreviewJob(*frame, stars, wxString::FromUTF8(output));
    if (m_selfTestMode == "loading")
        return runPreviewLoads(*frame, stars);
    return runStacking(*frame, stars, wxString::FromUTF8(output), m_selfTestMode == "cancel");
}

// The project opened at start-up is saved to VELOSTAR_SELFTEST_PROJECT, then run.
bool VelostarApp::runSelfTestProject(MainFrame* frame)
{
    const char* saveAs = std::getenv("VELOSTAR_SELFTEST_PROJECT");
    return frame && saveAs && saveAndRunProject(*frame, wxString::FromUTF8(saveAs));
}

int VelostarApp::OnRun()
{
    const int code = wxApp::OnRun();
    return m_selfTestFailed ? 1 : code;
}
