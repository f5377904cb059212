// The project half of MainFrame: New, Open, Save and Save as, and the window after a load.
#include "MainFrame.h"

#include <wx/filedlg.h>
#include <wx/stattext.h>

#include "LightButton.h"
#include "MainFrameCommon.h"
#include "MaskFile.h"
#include "OperationWindow.h"
#include "PreviewUpdates.h"
#include "ProjectFile.h"

using namespace velapp;
using namespace mainframe;

namespace {

wxString projectFilter() { return uiText(txt::VelostarProject) + "(*.vlp)|*vlp"; }

}  // namespace

bool MainFrame::openProject(const wxString& path)
{
    LoadedProject project;
    if (!loadProject(path.ToStdWstring(), project)) {
        showError(this, txt::FailedToOpenProject);
        return false;
    }
    // An estimate of the old project's frames would land in this one.
    stopMaskEstimate();
    m_files = std::move(project.files);
    m_settings = std::move(project.settings);
    m_maskFile = std::move(project.maskFile);
    m_brushMask.clear();
    m_projectFile = wxFileName(path);
    m_projectFile.MakeAbsolute();
    m_modified = false;
    m_changedSinceRun = true;
    m_outputConfirmed = false;
    rebuildTree();
    m_fileTree->ExpandAll();
    showLoadedPreview();
    showLoadedSkyRegion(project.tool);
    refreshParameters();
    updateTitle();
    return true;
}

// The loaded tool is chosen and its shapes go to the preview, which then holds the mask.
void MainFrame::showLoadedSkyRegion(SkyTool tool)
{
    m_sky = SkyRegionState();
    m_sky.tool = tool;
    m_sky.maskPainted = m_brushMask.valid();
    if (!m_preview)
        return;
    m_preview->selectTool(m_sky.tool);
    m_preview->setHighlight(m_sky.highlight);
    m_preview->loadShapes(m_settings.starBound, m_settings.gradient, m_brushMask.valid() ? &m_brushMask : nullptr);
    m_brushMask.clear();
}

// The result when the project's output exists, else its base image, else nothing; the brush
// mask comes with a shown image.
void MainFrame::showLoadedPreview()
{
    const wxString output = m_files.output() ? toWx(*m_files.output()) : wxString();
    if (!output.empty() && wxFileName::IsFileReadable(output)) {
        m_resultPath = wxFileName(output).GetFullPath();
        m_previewLabel->SetLabel(uiText(txt::ResultFile, "(F)", m_resultPath));
        m_openButton->Show();
        m_previewLabel->GetParent()->Layout();
        m_previewBase = m_files.base() ? toWx(*m_files.base()) : wxString();
        m_resultShown = false;
        showResultPreview();
    } else {
        showBaseState();
        m_resultShown = false;
        showBasePreview(true);
        if (!m_files.base()) {
            SetStatusText(uiText(txt::DoubleClickStarImages));
            return;
        }
    }
    if (m_maskFile.empty())
        return;
    try {
        m_brushMask = loadMaskPng(toWx(m_maskFile).utf8_string());
    } catch (const std::runtime_error&) {
        m_brushMask.clear();  // an unreadable mask drops the mask only
    }
}

bool MainFrame::saveProjectTo(const wxString& path)
{
    readPanelValues();
    ProjectSkyRegion sky{skyRegionMode(m_sky, m_settings), nullptr};
    MaskImage mask;
    if (sky.mode == SkyRegionMode::IrregularMask && copyPaintedMask(m_preview, m_brushMask, mask))
        sky.brushMask = &mask;
    if (!saveProject(path.ToStdWstring(), m_files, m_settings, sky, m_maskFile))
        return false;
    m_projectFile = wxFileName(path);
    m_projectFile.MakeAbsolute();
    m_modified = false;
    updateTitle();
    return true;
}

void MainFrame::chooseProjectToOpen()
{
    if (m_modified && !askYesNo(this, txt::ContinueWithoutSaving, txt::OpenProject, wxICON_WARNING))
        return;
    wxFileDialog dialog(this, uiText(txt::OpenProject), wxEmptyString, wxEmptyString, projectFilter(),
                        wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() == wxID_OK)
        openProject(dialog.GetPath());
}

void MainFrame::saveProjectCommand()
{
    if (!m_projectFile.IsOk()) {
        chooseProjectToSave(txt::SaveProject);
        return;
    }
    if (!saveProjectTo(m_projectFile.GetFullPath()))
        showError(this, txt::FailedToSaveProject);
}

void MainFrame::chooseProjectToSave(int title)
{
    const wxString offered = m_files.output() ? wxFileName(toWx(*m_files.output())).GetName() : wxString();
    wxFileDialog dialog(this, uiText(title), wxEmptyString, offered, projectFilter(), wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() != wxID_OK)
        return;
    wxString path = dialog.GetPath();
    if (!path.EndsWith(".vlp"))
        path += ".vlp";
    if (!saveProjectTo(path))
        showError(this, txt::FailedToSaveProject);
}
