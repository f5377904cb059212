#pragma once

#include <string>

#include <wx/app.h>

class MainFrame;

// The desktop program: picks the interface language, draws the icons and opens the main window.
class VelostarApp : public wxApp {
public:
    bool OnInit() override;
    int OnRun() override;
    // Any argument may be a file; the first project among them is opened.
    void OnInitCmdLine(wxCmdLineParser& parser) override;

private:
    void openProjectArgument(MainFrame& frame);
    void runSelfTest();
    bool runSelfTestJob(MainFrame* frame);
    bool runSelfTestProject(MainFrame* frame);

    wxString m_projectArgument;
    std::string m_selfTestMode;
    bool m_selfTestFailed = false;
};

wxDECLARE_APP(VelostarApp);
