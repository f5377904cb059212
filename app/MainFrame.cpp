// The window half of MainFrame: set-up, layout, project state, Start and the menu commands.
#include "MainFrame.h"

#include <algorithm>

#include <wx/button.h>
#include <wx/datetime.h>
#include <wx/menu.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/splitter.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/utils.h>

#include "AboutDialog.h"
#include "LightButton.h"
#include "MainFrameCommon.h"
#include "OperationWindow.h"
#include "OptionPanelsView.h"
#include "ProgressLog.h"
#include "SkyRegion.h"
#include "StartCheck.h"
#include "VelostarDialog.h"

using namespace velapp;
using namespace mainframe;

namespace {

constexpr const char* kWebsite = "https://velostar.org/";
constexpr int kOuterMinimumPane = 280;
constexpr int kInnerMinimumPane = 200;
constexpr int kLowerPaneMaximised = 570;
constexpr int kLowerPaneAfterDrag = 360;
// The program's birthday, greeted in the status bar.
constexpr wxDateTime::Month kBirthdayMonth = wxDateTime::Aug;
constexpr int kBirthdayDay = 20;

wxString openFileFilter()
{
    return uiText(txt::AcceptableFormats) +
           "(*.cr2;*.cr3;*.nef;*.arw;*.rw2;*.orf;*.raf;*.pef;*.dng;*.tif;*.tiff;*.jpg)|"
           "*.cr2;*.cr3;*.nef;*.arw;*.rw2;*.orf;*.raf;*.pef;*.dng;*.tif;*.tiff;*.jpg|" +
           uiText(txt::RawFiles) +
           "(*.cr2;*.cr3;*.nef;*.arw;*.rw2;*.orf;*.raf;*.pef;*.dng)|*.cr2;*.cr3;*.nef;*.arw;*.rw2;*.orf;*.raf;*.pef;*.dng|" +
           uiText(txt::TiffFiles) + "(*.tif;*.tiff)|*.tif;*.tiff|" + uiText(txt::JpegFiles) + "(*.jpg)|*.jpg|" +
           uiText(txt::AllFiles) + "(*.*)|*.*";
}

wxString statusGreeting()
{
    const wxDateTime today = wxDateTime::Today();
    if (today.GetMonth() == kBirthdayMonth && today.GetDay() == kBirthdayDay)
        return uiText(txt::BirthdayGreeting);
    return uiText(txt::DoubleClickStarImages);
}

}  // namespace

MainFrame::MainFrame() : wxFrame(nullptr, wxID_ANY, uiText(txt::ProgramName))
{
    m_openFilter = openFileFilter();
    SetIcon(appIcon());
    createMenus();
    createLayout();
    CreateStatusBar(1);
    rebuildTree();
    refreshParameters();
    placeWindow();
    updateTitle();

    Bind(wxEVT_MENU, &MainFrame::onCommand, this);
    Bind(EVT_LINK_CLICK, &MainFrame::onLinkClick, this);
    Bind(wxEVT_CLOSE_WINDOW, &MainFrame::onClose, this);
    Bind(wxEVT_MAXIMIZE, &MainFrame::onMaximize, this);
    m_operationWindow->Bind(EVT_BOUNDARY_CHANGED, &MainFrame::onPreviewUpdate, this);
    m_operationWindow->Bind(EVT_GRADIENT_CHANGED, &MainFrame::onPreviewUpdate, this);
    m_operationWindow->Bind(EVT_MASK_CHANGED, &MainFrame::onPreviewUpdate, this);
    setSkyRegionPreview(m_operationWindow);
    m_operationWindow->selectTool(m_sky.tool);
    m_operationWindow->setHighlight(m_sky.highlight);
}

void MainFrame::createMenus()
{
    auto* project = new wxMenu;
    auto* newItem = new wxMenuItem(project, IdNewProject, uiText(txt::MenuNewProject));
    newItem->SetBitmap(iconBitmap(IconNewProject));
    project->Append(newItem);
    project->Append(IdOpenProject, uiText(txt::MenuOpenProject));
    project->Append(IdSaveProject, uiText(txt::MenuSaveProject));
    project->Append(IdSaveProjectAs, uiText(txt::MenuSaveProjectAs));
    project->AppendSeparator();
    auto* exitItem = new wxMenuItem(project, wxID_EXIT, uiText(txt::MenuExit));
    exitItem->SetBitmap(iconBitmap(IconExit));
    project->Append(exitItem);

    auto* file = new wxMenu;
    file->Append(IdStarImages, uiText(txt::MenuStar), uiText(categoryHelp(Category::Star)));
    file->Append(IdBaseImage, uiText(txt::MenuBase), uiText(categoryHelp(Category::Base)));
    file->Append(IdNoiseImages, uiText(txt::MenuNoise), uiText(categoryHelp(Category::Noise)));
    file->Append(IdVignettingImages, uiText(txt::MenuVignetting), uiText(categoryHelp(Category::Vignetting)));
    file->Append(IdOutput, uiText(txt::MenuOutput), uiText(categoryHelp(Category::Output)));

    auto* help = new wxMenu;
    auto* aboutItem = new wxMenuItem(help, IdAbout, uiText(txt::MenuAbout));
    aboutItem->SetBitmap(iconBitmap(IconAbout));
    help->Append(aboutItem);
    help->Append(IdWebsite, uiText(txt::MenuWebsite));

    auto* bar = new wxMenuBar;
    bar->Append(project, uiText(txt::MenuProject));
    bar->Append(file, uiText(txt::MenuFile));
    bar->Append(help, uiText(txt::MenuHelp));
    SetMenuBar(bar);
}

void MainFrame::createLayout()
{
    m_outerSplitter = new wxSplitterWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                           wxSP_LIVE_UPDATE | wxSP_3DSASH);
    m_outerSplitter->SetMinimumPaneSize(kOuterMinimumPane);
    m_outerSplitter->SetSashGravity(0.3);
    wxWindow* left = createLeftSide(m_outerSplitter);
    wxWindow* right = createRightSide(m_outerSplitter);
    m_outerSplitter->SplitVertically(left, right, 360);

    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(m_outerSplitter, 1, wxEXPAND);
    sizer->SetMinSize(640, 480);
    SetSizer(sizer);
    sizer->SetSizeHints(this);
}

wxWindow* MainFrame::createLeftSide(wxWindow* parent)
{
    m_innerSplitter = new wxSplitterWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                           wxSP_LIVE_UPDATE | wxSP_3DSASH);
    m_innerSplitter->SetMinimumPaneSize(kInnerMinimumPane);
    m_innerSplitter->SetSashGravity(1.0);

    m_fileTree = new wxTreeCtrl(m_innerSplitter, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                wxTR_HAS_BUTTONS | wxTR_HIDE_ROOT | wxTR_LINES_AT_ROOT | wxTR_SINGLE);
    m_fileTree->AssignImageList(createIconImageList());
    const wxTreeItemId root = m_fileTree->AddRoot(wxEmptyString);
    for (Category category : kCategories) {
        m_categoryItems[static_cast<size_t>(category)] =
            m_fileTree->AppendItem(root, uiText(categoryName(category)), categoryIcon(category));
    }
    m_fileTree->SetDropTarget(new FileDropTarget(this, m_fileTree));
    m_fileTree->Bind(wxEVT_TREE_ITEM_ACTIVATED, &MainFrame::onTreeActivated, this);
    m_fileTree->Bind(wxEVT_TREE_ITEM_MENU, &MainFrame::onTreeMenu, this);
    m_fileTree->Bind(wxEVT_TREE_SEL_CHANGED, &MainFrame::onTreeSelection, this);

    // The parameter tree and its option panels take the space above the Start button.
    auto* lower = new wxPanel(m_innerSplitter);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    createParameterArea(lower, sizer);
    m_startButton = new wxButton(lower, wxID_ANY, uiText(txt::Start), wxDefaultPosition, wxSize(-1, 40));
    m_startButton->SetBitmap(iconBitmap(IconStart));
    m_startButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { guarded([this] { start(); }); });
    sizer->Add(m_startButton, 0, wxEXPAND | wxALL, 6);
    lower->SetSizer(sizer);

    m_innerSplitter->SplitHorizontally(m_fileTree, lower, 300);
    m_innerSplitter->Bind(wxEVT_SPLITTER_SASH_POS_CHANGED, &MainFrame::onSashChanged, this);
    return m_innerSplitter;
}

wxWindow* MainFrame::createRightSide(wxWindow* parent)
{
    auto* right = new wxPanel(parent);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    auto* header = new wxBoxSizer(wxHORIZONTAL);
    header->Add(new wxStaticBitmap(right, wxID_ANY, iconBitmap(IconPreview)), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
    m_previewLabel = new wxStaticText(right, wxID_ANY, uiText(txt::BaseImagePreview));
    header->Add(m_previewLabel, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 12);
    m_openButton = new LightButton(right, IdOpenResult, uiText(txt::Open));
    m_openButton->Hide();
    header->Add(m_openButton, 0, wxALIGN_CENTER_VERTICAL);
    sizer->Add(header, 0, wxEXPAND | wxALL, 6);
    // The preview fills the rest of this side.
    m_operationWindow = new OperationWindow(right);
    m_operationWindow->SetDropTarget(new FileDropTarget(this, m_operationWindow));
    sizer->Add(m_operationWindow, 1, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 6);
    right->SetSizer(sizer);
    right->SetDropTarget(new FileDropTarget(this, right));
    return right;
}

void MainFrame::placeWindow()
{
    const int screenWidth = wxSystemSettings::GetMetric(wxSYS_SCREEN_X, this);
    const int screenHeight = wxSystemSettings::GetMetric(wxSYS_SCREEN_Y, this);
    SetSize(std::max(screenWidth - 2, 640), std::max(screenHeight - 40, 480));
    Move((screenWidth - GetSize().GetWidth()) / 2, 0);
    m_outerSplitter->SetSashPosition(std::max(kOuterMinimumPane, GetClientSize().GetWidth() * 3 / 10));
    SetStatusText(statusGreeting());
    Maximize();
    Layout();
    // The lower pane gets its full height once the window has its final size.
    CallAfter([this] {
        const int height = m_innerSplitter->GetClientSize().GetHeight();
        m_innerSplitter->SetSashPosition(std::max(height - kLowerPaneMaximised, kInnerMinimumPane + 2));
    });
}

// Leaves the lower pane (parameters, Start) at least `minimumHeight` high while the file tree
// keeps its minimum size.
void MainFrame::keepLowerPane(int minimumHeight)
{
    const int height = m_innerSplitter->GetClientSize().GetHeight();
    const int wanted = std::max(height - minimumHeight, kInnerMinimumPane + 2);
    if (m_innerSplitter->GetSashPosition() > wanted)
        m_innerSplitter->SetSashPosition(wanted);
}

void MainFrame::onSashChanged(wxSplitterEvent& event)
{
    const int height = m_innerSplitter->GetClientSize().GetHeight();
    if (height - event.GetSashPosition() < kLowerPaneAfterDrag && height - kLowerPaneAfterDrag >= kInnerMinimumPane)
        event.SetSashPosition(height - kLowerPaneAfterDrag);
}

void MainFrame::onMaximize(wxMaximizeEvent& event)
{
    event.Skip();
    guarded([this] { CallAfter([this] { keepLowerPane(kLowerPaneMaximised); }); });
}

void MainFrame::onPreviewUpdate(wxCommandEvent& event)
{
    const auto* update = dynamic_cast<const OperationWindow::UpdateEvent*>(&event);
    const bool byProgram = update && update->programFlag() == 1;
    if (event.GetEventType() == EVT_BOUNDARY_CHANGED)
        previewRegionChanged(SkyRegionPreview::Shape::BoundaryLine, byProgram);
    else if (event.GetEventType() == EVT_GRADIENT_CHANGED)
        previewRegionChanged(SkyRegionPreview::Shape::Gradient, byProgram);
    else
        previewRegionChanged(SkyRegionPreview::Shape::Mask, byProgram);
}

void MainFrame::markEdited()
{
    m_modified = true;
    m_changedSinceRun = true;
    updateTitle();
    refreshParameters();
}

void MainFrame::updateTitle()
{
    const wxString name = m_projectFile.IsOk() ? m_projectFile.GetName() : uiText(txt::NewProject);
    SetTitle(uiText(txt::ProgramName) + " - " + name + (m_modified ? "*" : ""));
}

void MainFrame::newProject()
{
    if (m_modified && !askYesNo(this, txt::ContinueWithoutSaving, txt::NewProject, wxICON_WARNING))
        return;
    stopMaskEstimate();
    m_files.clear();
    m_settings = RunSettings();
    m_brushMask.clear();
    m_maskFile.clear();
    m_projectFile.Clear();
    m_modified = false;
    m_changedSinceRun = true;
    m_outputConfirmed = false;
    m_sky = SkyRegionState();
    m_operationWindow->clear(true);
    m_operationWindow->selectTool(m_sky.tool);
    m_operationWindow->setHighlight(m_sky.highlight);
    m_previewBase.clear();
    m_resultShown = false;
    rebuildTree();
    refreshParameters();
    showBaseState();
    SetStatusText(uiText(txt::DoubleClickStarImages));
    updateTitle();
}

bool MainFrame::outputExists() const
{
    return m_files.output() && wxFileName::FileExists(toWx(*m_files.output()));
}

void MainFrame::start()
{
    readPanelValues();
    StartConditions conditions;
    conditions.usableSkyRegion = usableSkyRegion(m_sky, m_settings);
    conditions.changedSinceLastRun = m_changedSinceRun;
    conditions.outputConfirmed = m_outputConfirmed;
    conditions.outputExists = outputExists();
    const StartDecision decision = checkStart(m_files, m_settings, conditions, [this](StartQuestion question) {
        if (question == StartQuestion::ContinueWithoutSkyRegion)
            return askYesNo(this, txt::ContinueWithoutSky, txt::FreezeGround, wxICON_QUESTION);
        return askYesNo(this, txt::OutputExists, txt::Output, wxICON_QUESTION);
    });
    if (!decision.proceed) {
        if (decision.messageText != 0)
            showError(this, decision.messageText);
        if (decision.focus == StartFocus::Output) {
            const wxTreeItemId item = m_fileTree->GetLastChild(categoryItem(Category::Output));
            m_fileTree->SelectItem(item.IsOk() ? item : categoryItem(Category::Output));
        } else if (decision.focus == StartFocus::SkyRegion) {
            selectParameter(ParamItem::SkyRegion);
        } else if (decision.focus == StartFocus::TimeLapse) {
            selectParameter(ParamItem::TimeLapse);
        }
        return;
    }
    stopMaskEstimate();
    refreshParameters();
    prepareRunSkyRegion();
    int endCode = EndNone;
    {
        VelostarDialog dialog(this, m_settings);
        endCode = dialog.runModal();
    }
    m_settings.skyMask.clear();
    const wxString output = m_settings.output ? toWx(*m_settings.output) : wxString();
    if (endCode == EndSucceeded && !output.empty() && wxFileName::IsFileReadable(output)) {
        m_resultPath = wxFileName(output).GetFullPath();
        m_previewLabel->SetLabel(uiText(txt::ResultFile, "(F)", m_resultPath));
        m_openButton->Show();
        m_previewLabel->GetParent()->Layout();
        m_changedSinceRun = false;
        m_outputConfirmed = false;
        m_resultShown = false;
        Category selected;
        if (categoryOf(m_fileTree->GetSelection(), selected) && selected == Category::Output)
            showResultPreview();
    }
}

void MainFrame::pressStart()
{
    wxCommandEvent click(wxEVT_BUTTON, m_startButton->GetId());
    click.SetEventObject(m_startButton);
    m_startButton->ProcessWindowEvent(click);
}

void MainFrame::onCommand(wxCommandEvent& event)
{
    guarded([&] {
        switch (event.GetId()) {
        case IdNewProject: newProject(); break;
        case IdOpenProject: chooseProjectToOpen(); break;
        case IdSaveProject: saveProjectCommand(); break;
        case IdSaveProjectAs: chooseProjectToSave(txt::SaveProjectAs); break;
        case wxID_EXIT: Close(); break;
        case IdStarImages:
        case IdAddStar: chooseFiles(Category::Star); break;
        case IdNoiseImages:
        case IdAddNoise: chooseFiles(Category::Noise); break;
        case IdVignettingImages:
        case IdAddVignetting: chooseFiles(Category::Vignetting); break;
        case IdBaseImage:
        case IdSetBase: chooseBase(); break;
        case IdOutput:
        case IdSaveOutputAs: chooseOutput(); break;
        case IdRemoveStar:
        case IdRemoveNoise:
        case IdRemoveVignetting: removeEntry(m_menuItem); break;
        case IdRemoveAllStars: removeAll(Category::Star); break;
        case IdRemoveAllNoise: removeAll(Category::Noise); break;
        case IdRemoveAllVignetting: removeAll(Category::Vignetting); break;
        case IdAbout: {
            AboutDialog dialog(this);
            dialog.ShowModal();
            break;
        }
        case IdWebsite: wxLaunchDefaultBrowser(kWebsite); break;
        default: event.Skip(); break;
        }
    });
}

void MainFrame::onLinkClick(wxCommandEvent& event)
{
    guarded([&] {
        if (event.GetId() == IdOpenResult && !m_resultPath.empty())
            wxLaunchDefaultApplication(m_resultPath);
    });
}

void MainFrame::onClose(wxCloseEvent& event)
{
    bool leave = true;
    guarded([&] {
        if (event.CanVeto() && m_modified)
            leave = askYesNo(this, txt::ExitWithoutSaving, txt::Exit, wxICON_WARNING);
    });
    if (!leave) {
        event.Veto();
        return;
    }
    Destroy();
}
