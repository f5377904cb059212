#pragma once

#include <array>
#include <functional>
#include <map>
#include <vector>

#include "OptionContext.h"
#include "OptionPanels.h"

class wxPanel;
class wxSizer;
class wxSlider;
class wxSpinCtrl;
class wxStaticBoxSizer;
class wxWindow;

// The option panels' widgets, stacked hidden in one sizer under the parameter tree. They show
// what the model says and pass every user change on as (control, value); nothing is decided
// here. UI thread only.
class OptionPanelsView {
public:
    using ControlHandler = std::function<void(int control, int value)>;

    // The panels live in one area added to `into`; it keeps the height of the tallest selection
    // so that the tree above does not move when the selection changes.
    OptionPanelsView(wxWindow* parent, wxSizer* into, ControlHandler onChange);

    // The area, for widgets shown below the panels (the note); call reserveHeight() after.
    wxWindow* area() const { return m_area; }
    void addBelow(wxWindow* window);
    void reserveHeight();

    // Shows exactly `panels`.
    void show(const std::vector<velapp::Panel>& panels);
    // Values, enabled states, tooltips and colours from the model.
    void refresh(const velapp::OptionContext& context);

    int sliderPosition(int control) const;
    int frameCount() const;
    wxWindow* control(int id) const;
    wxWindow* panel(velapp::Panel panel) const;

private:
    wxStaticBoxSizer* addPanel(velapp::Panel panel);
    wxWindow* box(velapp::Panel panel) const;
    void addCheckBox(velapp::Panel panel, int id, wxSizer* sizer, int indent = 0);
    void addRadio(velapp::Panel panel, int id, wxSizer* sizer, bool firstOfGroup);
    void addSlider(velapp::Panel panel, int id, wxSizer* sizer, int lowText, int highText, int titleText);
    void buildPanels();

    wxWindow* m_parent;
    wxWindow* m_area;
    wxSizer* m_sizer;
    ControlHandler m_onChange;
    std::map<velapp::Panel, wxPanel*> m_panels;
    std::map<int, wxWindow*> m_controls;
    std::vector<wxWindow*> m_sigmaLabels;  // "Loose" and "Strict", enabled with the slider
    wxSpinCtrl* m_frames = nullptr;
};
