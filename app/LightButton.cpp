#include "LightButton.h"

#include <wx/settings.h>

wxDEFINE_EVENT(EVT_LINK_CLICK, wxCommandEvent);

wxBEGIN_EVENT_TABLE(LightButton, wxStaticText)
    EVT_LEFT_UP(LightButton::onLeftUp)
wxEND_EVENT_TABLE()

LightButton::LightButton(wxWindow* parent, wxWindowID id, const wxString& label)
    : wxStaticText(parent, id, label)
{
    SetForegroundColour(*wxBLUE);
    wxFont font = GetFont();
    font.SetUnderlined(true);
    font.SetStyle(wxFONTSTYLE_ITALIC);
    SetFont(font);
    SetCursor(wxCursor(wxCURSOR_HAND));
}

void LightButton::onLeftUp(wxMouseEvent& event)
{
    event.Skip();
    if (!GetParent())
        return;
    try {
        auto* click = new wxCommandEvent(EVT_LINK_CLICK, GetId());
        click->SetEventObject(this);
        wxQueueEvent(GetParent(), click);
    } catch (...) {
        // Without memory for the event the click is lost; nothing else to undo.
    }
}
