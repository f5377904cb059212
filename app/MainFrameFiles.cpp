// The file tree half of MainFrame: items, choosers, removal, drops and the context menu.
#include "MainFrame.h"

#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/stattext.h>

#include "FileItems.h"
#include "LightButton.h"
#include "MainFrameCommon.h"
#include "OperationWindow.h"
#include "SingleChoiceDialog.h"

using namespace velapp;
using namespace mainframe;

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
    showBasePreview(false);
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

void MainFrame::addStarFiles(const wxArrayString& paths)
{
    guarded([&] { addFiles(Category::Star, paths); });
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
    showBasePreview(true);
}

// The preview shows the base image again; a result shown before is forgotten.
void MainFrame::showBaseState()
{
    m_previewLabel->SetLabel(uiText(txt::BaseImagePreview));
    m_openButton->Hide();
    m_resultPath.clear();
    m_previewLabel->GetParent()->Layout();
}

// The base image goes to the preview when it changed (chosen, or picked for new stars) or
// `always`; showing it forgets a result. Without a base the preview empties, unless it shows
// a result.
void MainFrame::showBasePreview(bool always)
{
    const wxString base = m_files.base() ? toWx(*m_files.base()) : wxString();
    if (!always && base == m_previewBase)
        return;
    m_previewBase = base;
    if (base.empty()) {
        if (!m_resultShown)
            m_operationWindow->releaseImage();
        return;
    }
    showBaseState();
    m_resultShown = false;
    m_operationWindow->showImage(base);
}

void MainFrame::showResultPreview()
{
    if (m_resultPath.empty() || m_resultShown)
        return;
    m_resultShown = true;
    m_operationWindow->showImage(m_resultPath);
}

void MainFrame::chooseOutput()
{
    const wxString filter = uiText(txt::TiffFiles) + "(*.tif)|*.tif|" + uiText(txt::JpegFiles) + "(*.jpg)|*.jpg";
    wxFileDialog dialog(this, uiText(txt::Output), wxEmptyString, wxEmptyString, filter,
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dialog.ShowModal() != wxID_OK)
        return;
    setOutputFile(dialog.GetPath());
}

void MainFrame::setOutputFile(const wxString& path)
{
    m_files.setOutput(path.ToStdWstring());
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
    showBasePreview(false);
}

void MainFrame::removeAll(Category category)
{
    m_files.removeAll(category);
    rebuildCategory(category);
    if (category == Category::Star)
        rebuildCategory(Category::Base);
    markEdited();
    showBasePreview(false);
}

bool MainFrame::dropFiles(const wxPoint& screenPosition, const wxArrayString& paths)
{
    // The category question waits until the drag has finished.
    CallAfter([this, screenPosition, paths] {
        guarded([&] {
            wxArrayString choices;
            choices.Add(uiText(txt::StarImages));
            choices.Add(uiText(txt::NoiseImages));
            choices.Add(uiText(txt::VignettingImages));
            SingleChoiceDialog dialog(this, uiText(txt::SelectCategory), uiText(txt::FileCategory), choices,
                                      screenPosition);
            dialog.setSelection(dropCategoryChoice(m_files));
            if (dialog.ShowModal() == wxID_OK)
                addFiles(dropChoiceCategory(dialog.selection()), paths);
        });
    });
    return !paths.empty();
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
    guarded([&] {
        showStatusFor(event.GetItem());
        Category category;
        if (event.GetItem().IsOk() && categoryOf(event.GetItem(), category)) {
            showSelection(Selection{std::nullopt, category});
            if (category == Category::Output)
                showResultPreview();
        }
    });
}
