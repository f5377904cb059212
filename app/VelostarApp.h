#pragma once

#include <wx/app.h>

// The desktop program: picks the interface language, draws the icons and opens the main window.
class VelostarApp : public wxApp {
public:
    bool OnInit() override;
    int OnRun() override;

private:
    void runSelfTest();

    bool m_selfTestFailed = false;
};

wxDECLARE_APP(VelostarApp);
