#pragma once

#include <wx/dialog.h>

// The program's name, version, author, LibRaw version and terms of use. UI thread only.
class AboutDialog : public wxDialog {
public:
    explicit AboutDialog(wxWindow* parent);
};
