#include "MainFrame.h"

#include <algorithm>
#include <exception>
#include <new>

#include <wx/button.h>
#include <wx/datetime.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/splitter.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/utils.h>

#include "AboutDialog.h"
#include "FileItems.h"
#include "Icons.h"
#include "LightButton.h"
#include "ProgressLog.h"
#include "SingleChoiceDialog.h"
#include "StartCheck.h"
#include "UiText.h"
#include "VelostarDialog.h"

using namespace velapp;

namespace {

enum CommandId : int {
    IdNewProject = 1,
    IdOpenProject = 2,
    IdSaveProject = 3,
    IdSaveProjectAs = 4,
    IdBaseImage = 5,
    IdStarImages = 6,
    IdNoiseImages = 7,
    IdVignettingImages = 8,
    IdOutput = 9,
    IdAbout = 10,
    IdWebsite = 11,
    IdSetBase = 16,
    IdAddStar = 17,
    IdRemoveStar = 18,
    IdRemoveAllStars = 19,
    IdAddNoise = 20,
    IdRemoveNoise = 21,
    IdRemoveAllNoise = 22,
    IdAddVignetting = 23,
    IdRemoveVignetting = 24,
    IdRemoveAllVignetting = 25,
    IdSaveOutputAs = 26,
    IdOpenResult = 43,
};

constexpr const char* kWebsite = "https://velostar.org/";
constexpr int kOuterMinimumPane = 280;
constexpr int kInnerMinimumPane = 200;
constexpr int kLowerPaneMaximised = 570;
constexpr int kLowerPaneAfterDrag = 360;
// The program's birthday, greeted in the status bar.
constexpr wxDateTime::Month kBirthdayMonth = wxDateTime::Aug;
constexpr int kBirthdayDay = 20;

constexpr Category kCategories[] = {Category::Star, Category::Base, Category::Noise, Category::Vignetting,
                                    Category::Output};

int categoryName(Category category)
{
    switch (category) {
    case Category::Star: return txt::StarImages;
    case Category::Base: return txt::BaseImage;
    case Category::Noise: return txt::NoiseImages;
    case Category::Vignetting: return txt::VignettingImages;
    case Category::Output: break;
    }
    return txt::Output;
}

int categoryHelp(Category category)
{
    switch (category) {
    case Category::Star: return txt::StarHelp;
    case Category::Base: return txt::BaseHelp;
    case Category::Noise: return txt::NoiseHelp;
    case Category::Vignetting: return txt::VignettingHelp;
    case Category::Output: break;
    }
    return txt::OutputHelp;
}

IconId categoryIcon(Category category)
{
    switch (category) {
    case Category::Star: return IconStarImages;
    case Category::Base: return IconBaseImage;
    case Category::Noise: return IconNoiseImages;
    case Category::Vignetting: return IconVignettingImages;
    case Category::Output: break;
    }
    return IconOutput;
}

bool isListCategory(Category category)
{
    return category == Category::Star || category == Category::Noise || category == Category::Vignetting;
}

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

wxString toWx(const std::wstring& text) { return wxString(text); }

bool askYesNo(wxWindow* parent, int message, int caption, long icon)
{
    return wxMessageBox(uiText(message), uiText(caption), wxYES_NO | wxNO_DEFAULT | icon, parent) == wxYES;
}

void showError(wxWindow* parent, int message)
{
    wxMessageBox(uiText(message), uiText(txt::Error), wxOK | wxICON_ERROR, parent);
}

// Hands files dropped on a window to the main frame.
class FileDropTarget : public wxFileDropTarget {
public:
    FileDropTarget(MainFrame* frame, wxWindow* window) : m_frame(frame), m_window(window) {}

    bool OnDropFiles(wxCoord x, wxCoord y, const wxArrayString& paths) override
    {
        return m_frame->dropFiles(m_window->ClientToScreen(wxPoint(x, y)), paths);
    }

private:
    MainFrame* m_frame;
    wxWindow* m_window;
};

}  // namespace

template <typename Action> void MainFrame::guarded(Action&& action)
{
    try {
        action();
    } catch (const std::bad_alloc&) {
        showError(this, txt::InsufficientMemory);
    } catch (...) {
        showError(this, txt::UnknownError);
    }
}

MainFrame::MainFrame() : wxFrame(nullptr, wxID_ANY, uiText(txt::ProgramName))
{
    m_openFilter = openFileFilter();
    SetIcon(appIcon());
    createMenus();
    createLayout();
    CreateStatusBar(1);
    rebuildTree();
    placeWindow();
    updateTitle();

    Bind(wxEVT_MENU, &MainFrame::onCommand, this);
    Bind(wxEVT_UPDATE_UI, [](wxUpdateUIEvent& event) { event.Enable(false); }, IdOpenProject, IdSaveProjectAs);
    Bind(EVT_LINK_CLICK, &MainFrame::onLinkClick, this);
    Bind(wxEVT_CLOSE_WINDOW, &MainFrame::onClose, this);
    Bind(wxEVT_MAXIMIZE, &MainFrame::onMaximize, this);
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
    sizer->AddStretchSpacer();
    auto* startButton = new wxButton(lower, wxID_ANY, uiText(txt::Start), wxDefaultPosition, wxSize(-1, 40));
    startButton->SetBitmap(iconBitmap(IconStart));
    startButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { guarded([this] { start(); }); });
    sizer->Add(startButton, 0, wxEXPAND | wxALL, 6);
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
    sizer->AddStretchSpacer();
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
    keepLowerPane(kLowerPaneMaximised);
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
    CallAfter([this] { keepLowerPane(kLowerPaneMaximised); });
}

wxTreeItemId MainFrame::categoryItem(Category category) const
{
    return m_categoryItems[static_cast<size_t>(category)];
}

bool MainFrame::categoryOf(const wxTreeItemId& item, Category& category) const
{
    for (Category candidate : kCategories) {
        const wxTreeItemId top = categoryItem(candidate);
        if (item == top || (item.IsOk() && m_fileTree->GetItemParent(item) == top)) {
            category = candidate;
            return true;
        }
    }
    return false;
}

int MainFrame::entryIndexOf(const wxTreeItemId& item) const
{
    const wxTreeItemId parent = m_fileTree->GetItemParent(item);
    wxTreeItemIdValue cookie;
    int index = 0;
    for (wxTreeItemId child = m_fileTree->GetFirstChild(parent, cookie); child.IsOk();
         child = m_fileTree->GetNextChild(parent, cookie), ++index) {
        if (child == item)
            return index;
    }
    return -1;
}

void MainFrame::rebuildCategory(Category category)
{
    const wxTreeItemId top = categoryItem(category);
    m_fileTree->DeleteChildren(top);
    if (isListCategory(category)) {
        for (const FileEntry& entry : m_files.list(category).entries()) {
            if (entry.group) {
                std::vector<AssociatePath> members;
                for (const auto& path : entry.paths)
                    members.emplace_back(toWx(path));
                m_fileTree->AppendItem(top, uiText(txt::FilesGroup, "(N)", wxString::Format("%zu", entry.paths.size())),
                                       IconFileGroup, -1, new AssoPathSet(std::move(members)));
            } else {
                const std::wstring& path = entry.paths.front();
                m_fileTree->AppendItem(top, toWx(fileNameOf(path)), IconFile, -1, new AssociatePath(toWx(path)));
            }
        }
    } else if (category == Category::Base && m_files.base()) {
        m_fileTree->AppendItem(top, toWx(m_files.baseLabel()), IconFile, -1, new AssociatePath(toWx(*m_files.base())));
    } else if (category == Category::Output) {
        if (m_files.output())
            m_fileTree->AppendItem(top, toWx(fileNameOf(*m_files.output())), IconFile, -1,
                                   new AssociatePath(toWx(*m_files.output())));
        m_fileTree->SetItemImage(top, m_files.output() ? IconOutput : IconMissing);
    }
}

void MainFrame::rebuildTree()
{
    for (Category category : kCategories)
        rebuildCategory(category);
}

void MainFrame::addFiles(Category category, const wxArrayString& paths)
{
    std::vector<std::wstring> files;
    for (const wxString& path : paths)
        files.push_back(path.ToStdWstring());
    const size_t added = m_files.addFiles(category, files, true);
    rebuildCategory(category);
    if (category == Category::Star)
        rebuildCategory(Category::Base);
    const wxTreeItemId top = categoryItem(category);
    m_fileTree->Expand(top);
    const wxTreeItemId last = m_fileTree->GetLastChild(top);
    m_fileTree->SelectItem(added == 1 && last.IsOk() ? last : top);
    markEdited();
}

void MainFrame::chooseFiles(Category category)
{
    wxFileDialog dialog(this, uiText(categoryName(category)), wxEmptyString, wxEmptyString, m_openFilter,
                        wxFD_OPEN | wxFD_MULTIPLE | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() != wxID_OK)
        return;
    wxArrayString paths;
    dialog.GetPaths(paths);
    addFiles(category, paths);
}

void MainFrame::chooseBase()
{
    wxFileDialog dialog(this, uiText(txt::BaseImage), wxEmptyString, wxEmptyString, m_openFilter,
                        wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() != wxID_OK)
        return;
    m_files.setBase(dialog.GetPath().ToStdWstring());
    rebuildCategory(Category::Base);
    m_fileTree->Expand(categoryItem(Category::Base));
    showBaseState();
    markEdited();
}

// The preview shows the base image again; a result shown before is forgotten.
void MainFrame::showBaseState()
{
    m_previewLabel->SetLabel(uiText(txt::BaseImagePreview));
    m_openButton->Hide();
    m_resultPath.clear();
    m_previewLabel->GetParent()->Layout();
}

void MainFrame::chooseOutput()
{
    const wxString filter = uiText(txt::TiffFiles) + "(*.tif)|*.tif|" + uiText(txt::JpegFiles) + "(*.jpg)|*.jpg";
    wxFileDialog dialog(this, uiText(txt::Output), wxEmptyString, wxEmptyString, filter,
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() != wxID_OK)
        return;
    m_files.setOutput(dialog.GetPath().ToStdWstring());
    rebuildCategory(Category::Output);
    const wxTreeItemId top = categoryItem(Category::Output);
    m_fileTree->Expand(top);
    const wxTreeItemId item = m_fileTree->GetLastChild(top);
    m_fileTree->SelectItem(item.IsOk() ? item : top);
    markEdited();
    m_outputConfirmed = true;
}

void MainFrame::removeEntry(const wxTreeItemId& item)
{
    Category category;
    if (!item.IsOk() || !categoryOf(item, category) || !isListCategory(category) || item == categoryItem(category))
        return;
    const int index = entryIndexOf(item);
    if (index < 0)
        return;
    m_files.removeEntry(category, static_cast<size_t>(index));
    rebuildCategory(category);
    if (category == Category::Star)
        rebuildCategory(Category::Base);
    markEdited();
}

void MainFrame::removeAll(Category category)
{
    m_files.removeAll(category);
    rebuildCategory(category);
    if (category == Category::Star)
        rebuildCategory(Category::Base);
    markEdited();
}

bool MainFrame::dropFiles(const wxPoint& screenPosition, const wxArrayString& paths)
{
    bool accepted = false;
    guarded([&] {
        wxArrayString choices;
        choices.Add(uiText(txt::StarImages));
        choices.Add(uiText(txt::NoiseImages));
        choices.Add(uiText(txt::VignettingImages));
        SingleChoiceDialog dialog(this, uiText(txt::SelectCategory), uiText(txt::FileCategory), choices,
                                  screenPosition);
        dialog.setSelection(dropCategoryChoice(m_files));
        if (dialog.ShowModal() != wxID_OK)
            return;
        addFiles(dropChoiceCategory(dialog.selection()), paths);
        accepted = true;
    });
    return accepted;
}

void MainFrame::markEdited()
{
    m_modified = true;
    m_changedSinceRun = true;
    updateTitle();
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
    m_files.clear();
    m_settings = RunSettings();
    m_projectFile.Clear();
    m_modified = false;
    m_changedSinceRun = true;
    m_outputConfirmed = false;
    rebuildTree();
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
    StartConditions conditions;
    conditions.usableSkyRegion = m_settings.skyRegionMode != SkyRegionMode::None;
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
        }
        return;
    }
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
    }
}

void MainFrame::showContextMenu(const wxTreeItemId& item, const wxPoint& at)
{
    Category category;
    if (!categoryOf(item, category))
        return;
    wxMenu menu;
    const bool onCategory = item == categoryItem(category);
    if (onCategory) {
        const bool hasFiles = isListCategory(category) && !m_files.list(category).empty();
        switch (category) {
        case Category::Star:
            menu.Append(IdAddStar, uiText(txt::MenuAdd));
            if (hasFiles)
                menu.Append(IdRemoveAllStars, uiText(txt::MenuRemoveAll));
            break;
        case Category::Noise:
            menu.Append(IdAddNoise, uiText(txt::MenuAdd));
            if (hasFiles)
                menu.Append(IdRemoveAllNoise, uiText(txt::MenuRemoveAll));
            break;
        case Category::Vignetting:
            menu.Append(IdAddVignetting, uiText(txt::MenuAdd));
            if (hasFiles)
                menu.Append(IdRemoveAllVignetting, uiText(txt::MenuRemoveAll));
            break;
        case Category::Base: menu.Append(IdSetBase, uiText(txt::MenuSet)); break;
        case Category::Output: menu.Append(IdSaveOutputAs, uiText(txt::MenuSaveAs)); break;
        }
    } else if (category == Category::Star) {
        menu.Append(IdRemoveStar, uiText(txt::MenuRemove));
    } else if (category == Category::Noise) {
        menu.Append(IdRemoveNoise, uiText(txt::MenuRemove));
    } else if (category == Category::Vignetting) {
        menu.Append(IdRemoveVignetting, uiText(txt::MenuRemove));
    }
    if (menu.GetMenuItemCount() == 0)
        return;
    m_menuItem = item;
    m_fileTree->PopupMenu(&menu, at);
}

void MainFrame::showStatusFor(const wxTreeItemId& item)
{
    Category category;
    if (!item.IsOk() || !categoryOf(item, category))
        return;
    if (item == categoryItem(category)) {
        SetStatusText(uiText(categoryHelp(category)));
        return;
    }
    const auto* data = dynamic_cast<const FileItemData*>(m_fileTree->GetItemData(item));
    if (data && !data->isGroup())
        SetStatusText(static_cast<const AssociatePath*>(data)->description());
}

void MainFrame::onCommand(wxCommandEvent& event)
{
    guarded([&] {
        switch (event.GetId()) {
        case IdNewProject: newProject(); break;
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

void MainFrame::onTreeActivated(wxTreeEvent& event)
{
    guarded([&] {
        const wxTreeItemId item = event.GetItem();
        Category category;
        if (!categoryOf(item, category))
            return;
        const bool onCategory = item == categoryItem(category);
        if (category == Category::Base)
            chooseBase();
        else if (category == Category::Output)
            chooseOutput();
        else if (onCategory)
            chooseFiles(category);
    });
}

void MainFrame::onTreeMenu(wxTreeEvent& event)
{
    guarded([&] { showContextMenu(event.GetItem(), event.GetPoint()); });
}

void MainFrame::onTreeSelection(wxTreeEvent& event)
{
    guarded([&] { showStatusFor(event.GetItem()); });
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
