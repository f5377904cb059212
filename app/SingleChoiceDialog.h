#pragma once

#include <wx/arrstr.h>
#include <wx/dialog.h>

class wxListBox;

// Asks for one of a few choices (the category of dropped files), opening at a given screen
// position. UI thread only.
class SingleChoiceDialog : public wxDialog {
public:
    SingleChoiceDialog(wxWindow* parent, const wxString& prompt, const wxString& title,
                       const wxArrayString& choices, const wxPoint& position);

    void setSelection(int index);
    int selection() const { return m_selection; }

private:
    void onOk(wxCommandEvent& event);
    void onDoubleClick(wxCommandEvent& event);

    wxListBox* m_list = nullptr;
    int m_selection = 0;
};
