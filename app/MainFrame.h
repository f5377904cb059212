#pragma once

#include <array>
#include <memory>

#include <wx/filename.h>
#include <wx/frame.h>
#include <wx/treectrl.h>

#include "FileTree.h"
#include "MaskEstimate.h"
#include "OptionContext.h"
#include "RunSettings.h"
#include "SkyRegionPreview.h"

class LightButton;
class OperationWindow;
class OptionPanelsView;
class wxButton;
class wxSplitterWindow;
class wxSplitterEvent;
class wxStaticText;
class wxTextCtrl;

// The main window: the file tree of a stacking job, the Start button and the preview header. It
// owns the job's files and RunSettings and starts runs through the progress dialog. UI thread only.
class MainFrame : public wxFrame {
public:
    MainFrame();
    ~MainFrame() override;

    // Files dropped on the tree or the preview, at a screen position; asks for their category.
    bool dropFiles(const wxPoint& screenPosition, const wxArrayString& paths);

    // What the menu commands do once their file dialog was answered, and a press of Start. The
    // self-test drives a run through these, since nobody is there to answer the file dialogs.
    void addStarFiles(const wxArrayString& paths);
    void setOutputFile(const wxString& path);
    void pressStart();

    // The preview's seam: it registers its region tools (null when it goes away) and reports
    // every shape it changed, `byProgram` for loads and clears.
    void setSkyRegionPreview(velapp::SkyRegionPreview* preview) { m_preview = preview; }
    void previewRegionChanged(velapp::SkyRegionPreview::Shape shape, bool byProgram);

    // For the self-test, which drives these widgets with simulated input.
    wxTreeCtrl* fileTree() const { return m_fileTree; }
    wxTreeItemId fileTreeItem(velapp::Category category) const { return categoryItem(category); }
    wxTreeCtrl* parameterTree() const { return m_paramTree; }
    wxTreeItemId parameterItem(velapp::ParamItem item) const;
    const OptionPanelsView& optionPanels() const { return *m_panels; }
    OperationWindow* previewWindow() const { return m_operationWindow; }
    const velapp::RunSettings& settings() const { return m_settings; }

    // Project files. Open shows "Failed to open project!" itself; a failed save only returns false.
    bool openProject(const wxString& path);
    bool saveProjectTo(const wxString& path);

private:
    void createMenus();
    void createLayout();
    wxWindow* createLeftSide(wxWindow* parent);
    wxWindow* createRightSide(wxWindow* parent);
    void placeWindow();
    void keepLowerPane(int minimumHeight);

    // File tree.
    void rebuildCategory(velapp::Category category);
    void rebuildTree();
    wxTreeItemId categoryItem(velapp::Category category) const;
    bool categoryOf(const wxTreeItemId& item, velapp::Category& category) const;
    int entryIndexOf(const wxTreeItemId& item) const;
    void addFiles(velapp::Category category, const wxArrayString& paths);
    void chooseFiles(velapp::Category category);
    void chooseBase();
    void chooseOutput();
    void removeEntry(const wxTreeItemId& item);
    void removeAll(velapp::Category category);
    void showBaseState();
    void showBasePreview(bool always);
    void showResultPreview();
    void showContextMenu(const wxTreeItemId& item, const wxPoint& at);
    void showStatusFor(const wxTreeItemId& item);

    // Parameter tree and option panels.
    void createParameterArea(wxWindow* parent, wxSizer* sizer);
    velapp::OptionContext optionContext() { return velapp::OptionContext{m_settings, m_files, m_sky}; }
    void refreshParameters();
    void refreshParameterTree();
    void showSelection(const velapp::Selection& selection);
    void selectParameter(velapp::ParamItem item);
    void applyChange(const velapp::Change& change);
    void onParameterActivated(wxTreeEvent& event);
    void onParameterMenu(wxTreeEvent& event);
    void onParameterSelection(wxTreeEvent& event);
    void onParameterCommand(wxCommandEvent& event);
    void readPanelValues();
    void prepareRunSkyRegion();
    // The brush mask from the frames: started by the sky-region panel, applied when it is back.
    void startMaskEstimate();
    void finishMaskEstimate(const velapp::MaskEstimateResult& result, int generation);
    // Cancels a running estimate and waits for it: one engine runs at a time in this process.
    void stopMaskEstimate();

    // Project state.
    void markEdited();
    void updateTitle();
    void newProject();
    void chooseProjectToOpen();
    void saveProjectCommand();
    void chooseProjectToSave(int title);
    void showLoadedPreview();
    void showLoadedSkyRegion(velapp::SkyTool tool);
    void start();
    bool outputExists() const;

    // Handlers; each one catches everything, nothing may leave a wx handler.
    void onCommand(wxCommandEvent& event);
    void onTreeActivated(wxTreeEvent& event);
    void onTreeMenu(wxTreeEvent& event);
    void onTreeSelection(wxTreeEvent& event);
    void onLinkClick(wxCommandEvent& event);
    void onClose(wxCloseEvent& event);
    void onSashChanged(wxSplitterEvent& event);
    void onMaximize(wxMaximizeEvent& event);
    void onPreviewUpdate(wxCommandEvent& event);
    template <typename Action> void guarded(Action&& action);

    velapp::FileTreeModel m_files;
    velapp::RunSettings m_settings;
    velapp::SkyRegionState m_sky;
    velapp::Selection m_selection;
    velapp::SkyRegionPreview* m_preview = nullptr;  // not owned; none until the preview registers
    wxFileName m_projectFile;
    bool m_modified = false;
    bool m_changedSinceRun = true;
    bool m_outputConfirmed = false;
    wxString m_resultPath;
    wxString m_previewBase;     // the base image the preview was last given
    bool m_resultShown = false;  // the preview holds the result of the last run
    // The brush mask a loaded project brought, held until a preview takes it over, and the
    // project's remembered mask file.
    velapp::MaskImage m_brushMask;
    std::wstring m_maskFile;
    wxString m_openFilter;
    std::unique_ptr<velapp::MaskEstimateJob> m_maskEstimate;  // while an estimate runs
    int m_maskEstimateGeneration = 0;  // a result of an older estimate is dropped

    wxSplitterWindow* m_outerSplitter = nullptr;
    wxSplitterWindow* m_innerSplitter = nullptr;
    wxTreeCtrl* m_fileTree = nullptr;
    std::array<wxTreeItemId, 5> m_categoryItems;
    wxTreeItemId m_menuItem;  // the item a context menu was opened on
    wxStaticText* m_previewLabel = nullptr;
    OperationWindow* m_operationWindow = nullptr;
    LightButton* m_openButton = nullptr;
    wxButton* m_startButton = nullptr;
    wxTreeCtrl* m_paramTree = nullptr;
    std::array<wxTreeItemId, 12> m_paramItems;
    wxTextCtrl* m_note = nullptr;
    std::unique_ptr<OptionPanelsView> m_panels;
};
