#pragma once

#include <algorithm>
#include <cstdlib>
#include <functional>

#include <wx/gdicmn.h>
#include <wx/string.h>
#include <wx/treectrl.h>
#include <wx/uiaction.h>

#include "MainFrame.h"
#include "OptionContext.h"
#include "OptionPanelsView.h"

// Simulated input for the self-tests that work the main window as a user does, and the waiting
// and printing they share. UI thread only.
namespace selftest {

using velapp::Category;
using velapp::ParamItem;

void printLine(const char* kind, const wxString& text);
// Lets the toolkit deliver the simulated events and redraw.
void settle(int milliseconds);
// Waits (a slow machine may take a while) until `taken` holds, then prints the step's result.
bool check(const wxString& step, const std::function<bool()>& taken);
// What the window shows on screen, `size` pixels from its top left corner, as a PNG file.
bool saveScreenPicture(wxWindow& window, wxSize size, const wxString& path);

inline constexpr int kMultiClickPause = 450;  // milliseconds; the toolkit's double-click time is 400

class User {
public:
    explicit User(MainFrame& frame) : m_frame(frame) {}

    void doubleClickItem(ParamItem item)
    {
        moveToItem(item);
        m_input.MouseDblClick();
        settle(100);
    }
    // Selects an item with a click; one already selected (by a double-click) stays as it is, as
    // a click there would change nothing that can be waited for.
    void clickItem(ParamItem item)
    {
        wxTreeCtrl* tree = m_frame.parameterTree();
        const wxTreeItemId id = m_frame.parameterItem(item);
        if (tree->GetSelection() == id)
            return;
        // Far enough from an earlier double-click that the toolkit sees a new single click.
        settle(kMultiClickPause);
        moveToItem(item);
        m_input.MouseClick();
        check("select item", [&] { return tree->GetSelection() == id; });
    }
    void clickFileItem(Category category)
    {
        wxTreeCtrl* tree = m_frame.fileTree();
        const wxTreeItemId id = m_frame.fileTreeItem(category);
        wxRect rect;
        tree->ScrollTo(id);
        tree->GetBoundingRect(id, rect, true);
        moveTo(tree->ClientToScreen(wxPoint(rect.x + std::min(24, rect.width / 2), rect.y + rect.height / 2)));
        m_input.MouseClick();
        settle(120);
    }
    void rightClickItem(ParamItem item)
    {
        moveToItem(item);
        m_input.MouseClick(wxMOUSE_BTN_RIGHT);
    }
    // Clicks a check box or radio button on its mark.
    void clickControl(int id)
    {
        const wxRect rect = m_frame.optionPanels().control(id)->GetScreenRect();
        moveTo(wxPoint(rect.x + 8, rect.y + rect.height / 2));
        m_input.MouseClick();
        settle(120);
    }
    // Gives a slider the keyboard focus and presses the arrow keys.
    void slide(int id, int steps)
    {
        wxWindow* slider = m_frame.optionPanels().control(id);
        slider->SetFocus();
        check("focus on slider", [&] { return wxWindow::FindFocus() == slider; });
        for (int i = 0; i < std::abs(steps); ++i) {
            m_input.Char(steps > 0 ? WXK_RIGHT : WXK_LEFT);
            settle(80);
        }
    }
    void key(int code)
    {
        m_input.Char(code);
        settle(80);
    }
    void clickWindow(wxWindow* window)
    {
        const wxRect rect = window->GetScreenRect();
        moveTo(wxPoint(rect.x + rect.width / 2, rect.y + rect.height / 2));
        m_input.MouseClick();
    }

    // Presses `button` at `from`, moves to `to` in `steps` steps and releases it there.
    void drag(const wxPoint& from, const wxPoint& to, int button, int steps)
    {
        moveTo(from);
        m_input.MouseDown(button);
        settle(60);
        for (int i = 1; i <= steps; ++i) {
            m_input.MouseMove(from + wxPoint((to.x - from.x) * i / steps, (to.y - from.y) * i / steps));
            settle(30);
        }
        m_input.MouseUp(button);
        settle(60);
    }
    // Onto the file tree, out of the preview and the panels.
    void moveToFileTree()
    {
        const wxRect rect = m_frame.fileTree()->GetScreenRect();
        moveTo(wxPoint(rect.x + rect.width - 10, rect.y + rect.height - 10));
    }

    // Out of every window, so that no tooltip covers the panels.
    void moveAway()
    {
        const wxRect rect = m_frame.GetScreenRect();
        moveTo(wxPoint(rect.GetRight() - 10, rect.y + rect.height / 2));
    }

    void moveTo(const wxPoint& point)
    {
        m_input.MouseMove(point);
        settle(60);
    }

private:
    void moveToItem(ParamItem item)
    {
        wxTreeCtrl* tree = m_frame.parameterTree();
        const wxTreeItemId id = m_frame.parameterItem(item);
        wxRect rect;
        tree->ScrollTo(id);
        tree->GetBoundingRect(id, rect, true);
        moveTo(tree->ClientToScreen(wxPoint(rect.x + std::min(24, rect.width / 2), rect.y + rect.height / 2)));
    }

    MainFrame& m_frame;
    wxUIActionSimulator m_input;
};


}  // namespace selftest
