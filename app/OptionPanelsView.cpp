#include "OptionPanelsView.h"

#include <wx/checkbox.h>
#include <wx/panel.h>
#include <wx/radiobut.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/slider.h>
#include <wx/spinctrl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include "LightButton.h"
#include "UiText.h"

using namespace velapp;

namespace {

constexpr int kIndent = 22;  // sub-options stand under their radio button's text
constexpr int kGap = 3;

void setTip(wxWindow* window, int text)
{
    if (text != 0)
        window->SetToolTip(uiText(text));
}

}  // namespace

OptionPanelsView::OptionPanelsView(wxWindow* parent, wxSizer* into, ControlHandler onChange)
    : m_parent(parent), m_area(new wxPanel(parent)), m_sizer(new wxBoxSizer(wxVERTICAL)), m_onChange(std::move(onChange))
{
    m_area->SetSizer(m_sizer);
    into->Add(m_area, 0, wxEXPAND);
    buildPanels();
}

void OptionPanelsView::addBelow(wxWindow* window) { m_sizer->Add(window, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 6); }

void OptionPanelsView::reserveHeight()
{
    int tallest = 0;
    const std::vector<std::vector<Panel>> selections = {
        {Panel::Composition, Panel::ComputingOptions}, {Panel::SkyRegion}, {Panel::ReducePollution}};
    for (const auto& panels : selections) {
        show(panels);
        tallest = std::max(tallest, m_sizer->CalcMin().GetHeight());
    }
    m_area->SetMinSize(wxSize(-1, tallest));
    show({});
}

wxStaticBoxSizer* OptionPanelsView::addPanel(Panel panel)
{
    auto* window = new wxPanel(m_area);
    auto* sizer = new wxStaticBoxSizer(wxVERTICAL, window, uiText(panelTitle(panel)));
    window->SetSizer(sizer);
    window->Hide();
    m_sizer->Add(window, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 4);
    m_panels[panel] = window;
    return sizer;
}

wxWindow* OptionPanelsView::box(Panel panel) const
{
    return static_cast<wxStaticBoxSizer*>(m_panels.at(panel)->GetSizer())->GetStaticBox();
}

void OptionPanelsView::addCheckBox(Panel panel, int id, wxSizer* sizer, int indent)
{
    auto* check = new wxCheckBox(box(panel), id, uiText(controlLabel(id)));
    setTip(check, controlTooltip(id));
    check->Bind(wxEVT_CHECKBOX, [this, id](wxCommandEvent& event) { m_onChange(id, event.IsChecked() ? 1 : 0); });
    if (indent > 0) {
        auto* row = new wxBoxSizer(wxHORIZONTAL);
        row->AddSpacer(indent);
        row->Add(check, 0, wxALIGN_CENTER_VERTICAL);
        // Beside a radio button in a row, or under it.
        auto* box = dynamic_cast<wxBoxSizer*>(sizer);
        if (box && box->GetOrientation() == wxHORIZONTAL)
            sizer->Add(row, 0, wxALIGN_CENTER_VERTICAL);
        else
            sizer->Add(row, 0, wxEXPAND | wxBOTTOM, kGap);
    } else {
        sizer->Add(check, 0, wxALL, kGap);
    }
    m_controls[id] = check;
}

void OptionPanelsView::addRadio(Panel panel, int id, wxSizer* sizer, bool firstOfGroup)
{
    auto* radio = new wxRadioButton(box(panel), id, uiText(controlLabel(id)), wxDefaultPosition, wxDefaultSize,
                                    firstOfGroup ? wxRB_GROUP : 0);
    setTip(radio, controlTooltip(id));
    radio->Bind(wxEVT_RADIOBUTTON, [this, id](wxCommandEvent&) { m_onChange(id, 1); });
    sizer->Add(radio, 0, wxALL, kGap);
    m_controls[id] = radio;
}

// [title] low [slider] high, in one row.
void OptionPanelsView::addSlider(Panel panel, int id, wxSizer* sizer, int lowText, int highText, int titleText)
{
    wxWindow* parent = box(panel);
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    if (titleText != 0)
        row->Add(new wxStaticText(parent, wxID_ANY, uiText(titleText)), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
    auto* low = new wxStaticText(parent, wxID_ANY, uiText(lowText));
    auto* slider = new wxSlider(parent, id, 0, 0, kSliderPositions - 1, wxDefaultPosition, wxSize(110, -1));
    auto* high = new wxStaticText(parent, wxID_ANY, uiText(highText));
    row->Add(low, 0, wxALIGN_CENTER_VERTICAL);
    row->Add(slider, 1, wxALIGN_CENTER_VERTICAL | wxLEFT | wxRIGHT, 4);
    row->Add(high, 0, wxALIGN_CENTER_VERTICAL);
    slider->Bind(wxEVT_SLIDER, [this, id](wxCommandEvent& event) { m_onChange(id, event.GetInt()); });
    sizer->Add(row, 0, wxEXPAND | wxLEFT | wxRIGHT, titleText != 0 ? 2 * kGap : kIndent);
    m_controls[id] = slider;
    if (id == ctl::Sigma)
        m_sigmaLabels = {low, high};
}

void OptionPanelsView::buildPanels()
{
    addCheckBox(Panel::StarOptions, ctl::UnifyExposure, addPanel(Panel::StarOptions));
    addCheckBox(Panel::VignettingOptions, ctl::Homogenize, addPanel(Panel::VignettingOptions));

    wxSizer* composition = addPanel(Panel::Composition);
    auto* compositionRow = new wxBoxSizer(wxHORIZONTAL);
    composition->Add(compositionRow);
    addRadio(Panel::Composition, ctl::AlignStars, compositionRow, true);
    addRadio(Panel::Composition, ctl::Trails, compositionRow, false);

    wxSizer* computing = addPanel(Panel::ComputingOptions);
    addRadio(Panel::ComputingOptions, ctl::Accumulation, computing, true);
    addRadio(Panel::ComputingOptions, ctl::SelectBestPixels, computing, false);
    addSlider(Panel::ComputingOptions, ctl::Sigma, computing, txt::Loose, txt::Strict, 0);
    // Each mode's own check box stands beside it, which keeps the panel short.
    auto* freezeRow = new wxBoxSizer(wxHORIZONTAL);
    computing->Add(freezeRow);
    addRadio(Panel::ComputingOptions, ctl::FreezeGround, freezeRow, false);
    addCheckBox(Panel::ComputingOptions, ctl::Selective, freezeRow, kIndent);
    auto* alignRow = new wxBoxSizer(wxHORIZONTAL);
    computing->Add(alignRow);
    addRadio(Panel::ComputingOptions, ctl::AlignOnly, alignRow, false);
    addCheckBox(Panel::ComputingOptions, ctl::Linear, alignRow, kIndent);

    addCheckBox(Panel::EffectOptions, ctl::MotionEffect, addPanel(Panel::EffectOptions));

    wxSizer* sky = addPanel(Panel::SkyRegion);
    addRadio(Panel::SkyRegion, ctl::BoundaryLine, sky, true);
    addRadio(Panel::SkyRegion, ctl::Gradient, sky, false);
    auto* brushRow = new wxBoxSizer(wxHORIZONTAL);
    sky->Add(brushRow);
    addRadio(Panel::SkyRegion, ctl::IrregularMask, brushRow, false);
    auto* reset = new LightButton(box(Panel::SkyRegion), ctl::ResetMask, uiText(txt::Reset));
    brushRow->Add(reset, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 12);
    m_controls[ctl::ResetMask] = reset;
    auto* estimate = new LightButton(box(Panel::SkyRegion), ctl::EstimateMask, uiText(txt::EstimateMask));
    estimate->SetToolTip(uiText(txt::EstimateMaskTip));
    brushRow->Add(estimate, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 12);
    m_controls[ctl::EstimateMask] = estimate;
    m_panels[Panel::SkyRegion]->Bind(EVT_LINK_CLICK, [this](wxCommandEvent& event) {
        if (event.GetId() == ctl::ResetMask || event.GetId() == ctl::EstimateMask)
            m_onChange(event.GetId(), 1);
    });
    addCheckBox(Panel::SkyRegion, ctl::AuxiliaryHighlight, sky, kIndent);

    wxSizer* pollution = addPanel(Panel::ReducePollution);
    auto* pollutionRow = new wxBoxSizer(wxHORIZONTAL);
    pollution->Add(pollutionRow);
    addRadio(Panel::ReducePollution, ctl::DeepSky, pollutionRow, true);
    addRadio(Panel::ReducePollution, ctl::Uneven, pollutionRow, false);
    addSlider(Panel::ReducePollution, ctl::PollutionStrength, pollution, txt::Weak, txt::Strong, txt::Strength);
    addCheckBox(Panel::ReducePollution, ctl::Aggressive, pollution);

    addSlider(Panel::EnhanceStars, ctl::EnhanceStrength, addPanel(Panel::EnhanceStars), txt::Weak, txt::Strong,
              txt::Strength);

    wxSizer* distortion = addPanel(Panel::Distortion);
    auto* distortionRow = new wxBoxSizer(wxHORIZONTAL);
    distortion->Add(distortionRow);
    addRadio(Panel::Distortion, ctl::Tele, distortionRow, true);
    addRadio(Panel::Distortion, ctl::Complex, distortionRow, false);

    wxSizer* timeLapse = addPanel(Panel::TimeLapse);
    wxWindow* timeBox = box(Panel::TimeLapse);
    auto* framesRow = new wxBoxSizer(wxHORIZONTAL);
    m_frames = new wxSpinCtrl(timeBox, ctl::TimeLapseFrames, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                              wxSP_ARROW_KEYS, kMinTimeLapseFrames, kMaxTimeLapseFrames, 5);
    m_frames->Bind(wxEVT_SPINCTRL, [this](wxSpinEvent& event) { m_onChange(ctl::TimeLapseFrames, event.GetPosition()); });
    framesRow->Add(new wxStaticText(timeBox, wxID_ANY, uiText(txt::Every)), 0, wxALIGN_CENTER_VERTICAL);
    framesRow->Add(m_frames, 0, wxALIGN_CENTER_VERTICAL);
    framesRow->Add(new wxStaticText(timeBox, wxID_ANY, uiText(txt::Frames)), 0, wxALIGN_CENTER_VERTICAL);
    timeLapse->Add(framesRow, 0, wxALL, kGap);
    m_controls[ctl::TimeLapseFrames] = m_frames;
}

void OptionPanelsView::show(const std::vector<Panel>& panels)
{
    for (auto& [panel, window] : m_panels)
        window->Show(std::find(panels.begin(), panels.end(), panel) != panels.end());
    m_area->Layout();
    m_parent->Layout();
}

void OptionPanelsView::refresh(const OptionContext& context)
{
    for (auto& [panel, window] : m_panels)
        window->Enable(panelEnabled(panel, context));
    for (auto& [id, window] : m_controls) {
        const ControlState state = controlState(id, context);
        window->Enable(state.enabled);
        window->Show(state.shown);
        if (auto* check = dynamic_cast<wxCheckBox*>(window))
            check->SetValue(state.value != 0);
        else if (auto* radio = dynamic_cast<wxRadioButton*>(window)) {
            if (state.value != 0)
                radio->SetValue(true);
        } else if (auto* slider = dynamic_cast<wxSlider*>(window))
            slider->SetValue(state.value);
        else if (auto* spin = dynamic_cast<wxSpinCtrl*>(window))
            spin->SetValue(state.value);
    }
    const bool sigmaEnabled = controlState(ctl::Sigma, context).enabled;
    for (wxWindow* label : m_sigmaLabels)
        label->Enable(sigmaEnabled);
    m_controls.at(ctl::Sigma)->SetToolTip(wxString::FromUTF8(sigmaTooltip(context.settings.sigmaIndex)));

    switch (timeLapseColour(context)) {
    case SpinColour::Red: m_frames->SetForegroundColour(*wxRED); break;
    case SpinColour::WindowText: m_frames->SetForegroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT)); break;
    case SpinColour::GreyText: m_frames->SetForegroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_GRAYTEXT)); break;
    }
    m_frames->Refresh();
    m_area->Layout();
    m_parent->Layout();
}

int OptionPanelsView::sliderPosition(int control) const
{
    auto* slider = dynamic_cast<wxSlider*>(m_controls.at(control));
    return slider ? slider->GetValue() : 0;
}

int OptionPanelsView::frameCount() const { return m_frames->GetValue(); }

wxWindow* OptionPanelsView::control(int id) const
{
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

wxWindow* OptionPanelsView::panel(Panel panel) const { return m_panels.at(panel); }
