#include "AboutDialog.h"

#include <libraw/libraw.h>
#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "Icons.h"
#include "UiText.h"
#include "Velostar.h"

using namespace velapp;

namespace {

wxString authorName()
{
    // The author's name has its own written form in the Traditional Chinese interface.
    if (programTexts().language() == Language::TraditionalChinese)
        return wxString::FromUTF8("Velostar 開發團隊");
    return wxString::FromUTF8(Velostar::getAuthor());
}

}  // namespace

AboutDialog::AboutDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, uiText(txt::AboutVelostar), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxCLOSE_BOX | wxRESIZE_BORDER)
{
    auto* sizer = new wxBoxSizer(wxVERTICAL);

    auto* head = new wxBoxSizer(wxHORIZONTAL);
    head->Add(new wxStaticBitmap(this, wxID_ANY, iconBitmap(IconApp)), 0, wxALL, 10);
    auto* column = new wxBoxSizer(wxVERTICAL);
    auto* title = new wxStaticText(this, wxID_ANY, uiText(txt::ProgramName));
    wxFont font = title->GetFont();
    font.SetWeight(wxFONTWEIGHT_BOLD);
    title->SetFont(font.Larger());
    column->Add(title, 0, wxBOTTOM, 4);
    column->Add(new wxStaticText(this, wxID_ANY, uiText(txt::Version) + wxString::FromUTF8(Velostar::getVersion())));
    column->Add(new wxStaticText(this, wxID_ANY, uiText(txt::Author) + authorName()));
    head->Add(column, 1, wxALIGN_CENTER_VERTICAL | wxTOP | wxBOTTOM | wxRIGHT, 10);
    sizer->Add(head, 0, wxEXPAND);

    sizer->Add(new wxStaticText(this, wxID_ANY, uiText(txt::LibRawVersion) + wxString::FromUTF8(libraw_version())),
               0, wxLEFT | wxRIGHT | wxBOTTOM, 10);
    sizer->Add(new wxStaticText(this, wxID_ANY, uiText(txt::Note)), 0, wxLEFT | wxRIGHT, 10);
    auto* terms = new wxTextCtrl(this, wxID_ANY, uiText(txt::TermsOfUse), wxDefaultPosition, wxSize(400, 190),
                                 wxTE_MULTILINE | wxTE_READONLY | wxTE_WORDWRAP);
    sizer->Add(terms, 1, wxEXPAND | wxALL, 10);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    auto* close = new wxButton(this, wxID_CANCEL, uiText(txt::Close));
    buttons->Add(close);
    sizer->Add(buttons, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 10);
    SetSizerAndFit(sizer);
    close->SetDefault();
    SetEscapeId(wxID_CANCEL);

    if (parent) {
        const wxSize wanted(parent->GetSize().GetWidth() / 4, parent->GetSize().GetHeight() / 2);
        wxSize size = GetSize();
        size.IncTo(wanted);
        SetSize(size);
    }
    CentreOnParent();
}
