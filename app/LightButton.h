#pragma once

#include <wx/event.h>
#include <wx/stattext.h>

// Sent to the parent when a LightButton is clicked; the event's id is the button's.
wxDECLARE_EVENT(EVT_LINK_CLICK, wxCommandEvent);

// A text that behaves like a hyperlink: blue, underlined italic, hand cursor. UI thread only.
class LightButton : public wxStaticText {
public:
    LightButton(wxWindow* parent, wxWindowID id, const wxString& label);

private:
    void onLeftUp(wxMouseEvent& event);

    wxDECLARE_EVENT_TABLE();
};
