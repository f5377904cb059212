// The parameter half of MainFrame: the parameter tree, the option panels, the note under them
// and the preview's region updates. What each edit means is decided in the model.
#include "MainFrame.h"

#include <wx/menu.h>
#include <wx/sizer.h>
#include <wx/textctrl.h>

#include "EngineSetup.h"
#include "Velostar.h"
#include "MainFrameCommon.h"
#include "OptionPanels.h"
#include "OperationWindow.h"
#include "OptionPanelsView.h"
#include "ParameterTree.h"
#include "PreviewUpdates.h"

using namespace velapp;
using namespace mainframe;

namespace {

int iconFor(ItemIcon icon, int plain)
{
    switch (icon) {
    case ItemIcon::On: return IconOn;
    case ItemIcon::Warning: return IconWarning;
    case ItemIcon::Missing: return IconMissing;
    case ItemIcon::Plain: break;
    }
    return plain;
}

size_t slot(ParamItem item) { return static_cast<size_t>(item); }

}  // namespace

// A running estimate is cancelled and its thread joined before any window goes; then the
// preview, while everything it reports to still exists.
MainFrame::~MainFrame()
{
    m_maskEstimate.reset();
    m_preview = nullptr;
    if (m_operationWindow)
        m_operationWindow->Destroy();
}

void MainFrame::createParameterArea(wxWindow* parent, wxSizer* sizer)
{
    m_paramTree = new wxTreeCtrl(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                 wxTR_HAS_BUTTONS | wxTR_HIDE_ROOT | wxTR_LINES_AT_ROOT | wxTR_SINGLE);
    m_paramTree->AssignImageList(createIconImageList());
    const wxTreeItemId root = m_paramTree->AddRoot(wxEmptyString);
    for (ParamItem item : kTopLevelItems)
        m_paramItems[slot(item)] = m_paramTree->AppendItem(root, wxEmptyString, IconOff);
    sizer->Add(m_paramTree, 1, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 4);

    m_panels = std::make_unique<OptionPanelsView>(parent, sizer, [this](int control, int value) {
        guarded([&] {
            OptionContext context = optionContext();
            applyChange(changeControl(control, value, context));
        });
    });

    m_note = new wxTextCtrl(m_panels->area(), wxID_ANY, uiText(txt::DragToAssign), wxDefaultPosition,
                            wxDefaultSize, wxTE_READONLY | wxBORDER_NONE);
    m_note->SetBackgroundColour(parent->GetBackgroundColour());
    m_panels->addBelow(m_note);
    m_panels->reserveHeight();
    m_note->Hide();

    m_paramTree->Bind(wxEVT_TREE_ITEM_ACTIVATED, &MainFrame::onParameterActivated, this);
    m_paramTree->Bind(wxEVT_TREE_ITEM_MENU, &MainFrame::onParameterMenu, this);
    m_paramTree->Bind(wxEVT_TREE_SEL_CHANGED, &MainFrame::onParameterSelection, this);
    Bind(wxEVT_MENU, &MainFrame::onParameterCommand, this, cmd::kFirst, cmd::kLast);
}

wxTreeItemId MainFrame::parameterItem(ParamItem item) const { return m_paramItems[slot(item)]; }

// Labels, icons and the integration child, which exists only while stars are aligned.
void MainFrame::refreshParameterTree()
{
    const OptionContext context{m_settings, m_files, m_sky};
    const wxTreeItemId composition = parameterItem(ParamItem::Composition);
    wxTreeItemId& integration = m_paramItems[slot(ParamItem::Integration)];
    if (hasIntegrationItem(m_settings) && !integration.IsOk()) {
        integration = m_paramTree->AppendItem(composition, wxEmptyString, IconOff);
        m_paramTree->Expand(composition);
    } else if (!hasIntegrationItem(m_settings) && integration.IsOk()) {
        const wxTreeItemId gone = integration;
        integration = wxTreeItemId();
        m_paramTree->Delete(gone);
    }
    for (size_t i = 0; i < m_paramItems.size(); ++i) {
        const wxTreeItemId id = m_paramItems[i];
        if (!id.IsOk())
            continue;
        const auto item = static_cast<ParamItem>(i);
        m_paramTree->SetItemText(id, wxString::FromUTF8(itemLabel(item, context)));
        m_paramTree->SetItemImage(id, iconFor(itemIcon(item, context), IconOff));
    }
    for (Category category : kCategories)
        m_fileTree->SetItemImage(categoryItem(category),
                                 iconFor(velapp::categoryIcon(category, context), mainframe::categoryIcon(category)));
}

void MainFrame::refreshParameters()
{
    refreshParameterTree();
    m_panels->refresh(optionContext());
    showSelection(m_selection);
}

void MainFrame::showSelection(const Selection& selection)
{
    m_selection = selection;
    m_panels->show(panelsFor(selection, m_settings));
    const int note = noteText(selection, m_sky);
    if (note != 0)
        m_note->ChangeValue(uiText(note));
    m_note->Show(note != 0);
    m_note->GetParent()->Layout();
}

void MainFrame::selectParameter(ParamItem item)
{
    const wxTreeItemId id = parameterItem(item);
    if (id.IsOk())
        m_paramTree->SelectItem(id);
}

void MainFrame::applyChange(const Change& change)
{
    if (change.preview == PreviewAction::ClearMask || change.preview == PreviewAction::ClearShapes)
        m_brushMask.clear();
    if (m_preview) {
        switch (change.preview) {
        case PreviewAction::SelectTool: m_preview->selectTool(m_sky.tool); break;
        case PreviewAction::SetHighlight: m_preview->setHighlight(m_sky.highlight); break;
        case PreviewAction::ClearMask: m_preview->clearMask(); break;
        case PreviewAction::ClearShapes: m_preview->clearShapes(); break;
        case PreviewAction::EstimateMask:
        case PreviewAction::None: break;
        }
    }
    if (change.preview == PreviewAction::EstimateMask)
        startMaskEstimate();
    if (change.edit == Edit::Changed) {
        markEdited();
    } else {
        if (change.edit == Edit::ModifiedOnly) {
            m_modified = true;
            updateTitle();
        }
        refreshParameters();
    }
    if (change.statusText != 0)
        SetStatusText(uiText(change.statusText));
}

void MainFrame::previewRegionChanged(SkyRegionPreview::Shape shape, bool byProgram)
{
    guarded([&] {
        if (!m_preview)
            return;
        OptionContext context = optionContext();
        applyChange(previewShapeChanged(shape, *m_preview, byProgram, context));
    });
}

// The sliders and the spin as they stand; Start and saving read them, so that a value the
// widget has not reported yet still counts.
void MainFrame::readPanelValues()
{
    m_settings.reducePollutionStrength = m_panels->sliderPosition(ctl::PollutionStrength);
    m_settings.enhanceStarsStrength = m_panels->sliderPosition(ctl::EnhanceStrength);
    m_settings.sigmaIndex = m_panels->sliderPosition(ctl::Sigma);
    m_settings.timeLapseFrames = m_panels->frameCount();
}

void MainFrame::startMaskEstimate()
{
    readPanelValues();
    stopMaskEstimate();
    const int generation = ++m_maskEstimateGeneration;
    m_sky.estimating = true;
    // The job's result comes back through the event queue; the frame outlives the job.
    m_maskEstimate = std::make_unique<velapp::MaskEstimateJob>(
        velapp::maskEstimateSettings(m_files, m_settings),
        [] { return velapp::EngineHandle(Velostar::create(), Velostar::destroy); },
        [this, generation](velapp::MaskEstimateResult result) {
            CallAfter([this, generation, result = std::move(result)] {
                guarded([&] { finishMaskEstimate(result, generation); });
            });
        });
}

void MainFrame::stopMaskEstimate()
{
    if (!m_maskEstimate)
        return;
    m_maskEstimate.reset();
    ++m_maskEstimateGeneration;
    m_sky.estimating = false;
}

void MainFrame::finishMaskEstimate(const velapp::MaskEstimateResult& result, int generation)
{
    if (generation != m_maskEstimateGeneration)
        return;
    m_maskEstimate.reset();
    OptionContext context = optionContext();
    applyChange(velapp::applyMaskEstimate(result, m_preview, m_brushMask, context));
}

// The sky region of the run, with the painted mask copied once for the engine to borrow.
void MainFrame::prepareRunSkyRegion()
{
    OptionContext context = optionContext();
    prepareSkyRegion(m_preview, m_brushMask, context);
}

void MainFrame::onParameterActivated(wxTreeEvent& event)
{
    guarded([&] {
        for (size_t i = 0; i < m_paramItems.size(); ++i) {
            if (m_paramItems[i] != event.GetItem())
                continue;
            if (const auto command = doubleClickCommand(static_cast<ParamItem>(i), m_settings)) {
                OptionContext context = optionContext();
                applyChange(runCommand(*command, context));
            }
            return;
        }
    });
}

void MainFrame::onParameterMenu(wxTreeEvent& event)
{
    guarded([&] {
        for (size_t i = 0; i < m_paramItems.size(); ++i) {
            if (m_paramItems[i] != event.GetItem())
                continue;
            wxMenu menu;
            for (const MenuEntry& entry : contextMenu(static_cast<ParamItem>(i), optionContext())) {
                if (entry.checkable)
                    menu.AppendCheckItem(entry.command, uiText(entry.text))->Check(entry.checked);
                else
                    menu.Append(entry.command, uiText(entry.text));
            }
            if (menu.GetMenuItemCount() > 0)
                m_paramTree->PopupMenu(&menu, event.GetPoint());
            return;
        }
    });
}

void MainFrame::onParameterSelection(wxTreeEvent& event)
{
    guarded([&] {
        for (size_t i = 0; i < m_paramItems.size(); ++i) {
            if (!event.GetItem().IsOk() || m_paramItems[i] != event.GetItem())
                continue;
            const auto item = static_cast<ParamItem>(i);
            SetStatusText(uiText(itemHelpText(item, m_settings)));
            showSelection(Selection{item, std::nullopt});
            return;
        }
    });
}

void MainFrame::onParameterCommand(wxCommandEvent& event)
{
    guarded([&] {
        OptionContext context = optionContext();
        applyChange(runCommand(event.GetId(), context));
    });
}
