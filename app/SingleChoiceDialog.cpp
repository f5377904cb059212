#include "SingleChoiceDialog.h"

#include <wx/button.h>
#include <wx/listbox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include "UiText.h"

SingleChoiceDialog::SingleChoiceDialog(wxWindow* parent, const wxString& prompt, const wxString& title,
                                       const wxArrayString& choices, const wxPoint& position)
    : wxDialog(parent, wxID_ANY, title, position, wxDefaultSize, wxCAPTION)
{
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(new wxStaticText(this, wxID_ANY, prompt), 0, wxALL, 8);
    m_list = new wxListBox(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, choices, wxLB_SINGLE | wxLB_NO_SB);
    sizer->Add(m_list, 1, wxEXPAND | wxLEFT | wxRIGHT, 8);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    auto* ok = new wxButton(this, wxID_OK, uiText(velapp::txt::Ok));
    buttons->Add(ok, 0, wxRIGHT, 6);
    buttons->Add(new wxButton(this, wxID_CANCEL, uiText(velapp::txt::Cancel)));
    sizer->Add(buttons, 0, wxEXPAND | wxALL, 8);
    SetSizerAndFit(sizer);
    ok->SetDefault();
    if (!choices.empty())
        setSelection(0);
    Move(position);
    Bind(wxEVT_BUTTON, &SingleChoiceDialog::onOk, this, wxID_OK);
    m_list->Bind(wxEVT_LISTBOX_DCLICK, &SingleChoiceDialog::onDoubleClick, this);
}

void SingleChoiceDialog::setSelection(int index)
{
    if (index >= 0 && index < static_cast<int>(m_list->GetCount())) {
        m_list->SetSelection(index);
        m_selection = index;
    }
}

void SingleChoiceDialog::onOk(wxCommandEvent&)
{
    const int chosen = m_list->GetSelection();
    if (chosen == wxNOT_FOUND)
        return;
    m_selection = chosen;
    EndModal(wxID_OK);
}

void SingleChoiceDialog::onDoubleClick(wxCommandEvent& event) { onOk(event); }
