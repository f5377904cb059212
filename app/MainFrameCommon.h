#pragma once

// Helpers shared by the two halves of MainFrame (window and file tree); not for other classes.

#include <exception>
#include <new>
#include <string>

#include <wx/dnd.h>
#include <wx/msgdlg.h>

#include "FileTree.h"
#include "Icons.h"
#include "MainFrame.h"
#include "UiText.h"

namespace mainframe {

using velapp::Category;
namespace txt = velapp::txt;

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

inline constexpr Category kCategories[] = {Category::Star, Category::Base, Category::Noise,
                                           Category::Vignetting, Category::Output};

inline int categoryName(Category category)
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

inline int categoryHelp(Category category)
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

inline IconId categoryIcon(Category category)
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

inline bool isListCategory(Category category)
{
    return category == Category::Star || category == Category::Noise || category == Category::Vignetting;
}

inline wxString toWx(const std::wstring& text) { return wxString(text); }

inline bool askYesNo(wxWindow* parent, int message, int caption, long icon)
{
    return wxMessageBox(uiText(message), uiText(caption), wxYES_NO | wxNO_DEFAULT | icon, parent) == wxYES;
}

inline void showError(wxWindow* parent, int message)
{
    wxMessageBox(uiText(message), uiText(txt::Error), wxOK | wxICON_ERROR, parent);
}

// Hands files dropped on a window to the main frame.
class FileDropTarget : public wxFileDropTarget {
public:
    FileDropTarget(MainFrame* frame, wxWindow* window) : m_frame(frame), m_window(window) {}

    bool OnDropFiles(wxCoord x, wxCoord y, const wxArrayString& paths) override
    {
        try {
            return m_frame->dropFiles(m_window->ClientToScreen(wxPoint(x, y)), paths);
        } catch (...) {
            return false;
        }
    }

private:
    MainFrame* m_frame;
    wxWindow* m_window;
};

}  // namespace mainframe

template <typename Action> void MainFrame::guarded(Action&& action)
{
    try {
        action();
    } catch (const std::bad_alloc&) {
        mainframe::showError(this, velapp::txt::InsufficientMemory);
    } catch (...) {
        mainframe::showError(this, velapp::txt::UnknownError);
    }
}

