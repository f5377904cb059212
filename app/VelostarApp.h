#pragma once

#include <string>

#include <wx/app.h>

class MainFrame;

// The desktop program: picks the interface language, draws the icons and opens the main window.
class VelostarApp : public wxApp {
public:
    bool OnInit() override;
    int OnRun() override;

private:
    void runSelfTest();
    bool runSelfTestJob(MainFrame* frame);

    std::string m_selfTestMode;
    bool m_selfTestFailed = false;
};

wxDECLARE_APP(VelostarApp);
