#include "SelfTestInput.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/button.h>
#include <wx/dcmemory.h>
#include <wx/dcclient.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>
#include <wx/treectrl.h>
#include <wx/uiaction.h>
#include <wx/utils.h>

#include "MainFrame.h"
#include "OptionPanels.h"
#include "OptionPanelsView.h"
#include "ParameterTree.h"
#include "SelfTest.h"
#include "UiText.h"
#include "VelostarDialog.h"

using namespace velapp;

namespace {

constexpr std::chrono::seconds kStepWait{10};
constexpr int kMultiClickPause = 450;  // milliseconds; the toolkit's double-click time is 400

void printLine(const char* kind, const wxString& text)
{
    std::printf("%s: %s\n", kind, text.utf8_str().data());
    std::fflush(stdout);
}

// Lets the toolkit deliver the simulated events and redraw.
void settle(int milliseconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        wxTheApp->Yield(true);
        wxMilliSleep(10);
    }
}

// Waits (a slow machine may take a while) until `taken` holds, then prints the step's result.
bool check(const wxString& step, const std::function<bool()>& taken)
{
    const auto end = std::chrono::steady_clock::now() + kStepWait;
    bool done = taken();
    while (!done && std::chrono::steady_clock::now() < end) {
        settle(50);
        done = taken();
    }
    static const auto begin = std::chrono::steady_clock::now();
    printLine("step", step + (done ? " ok" : " FAILED") + wxString::Format(" (%lld ms)", (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count()));
    return done;
}

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

    // Out of every window, so that no tooltip covers the panels.
    void moveAway()
    {
        const wxRect rect = m_frame.GetScreenRect();
        moveTo(wxPoint(rect.GetRight() - 10, rect.y + rect.height / 2));
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
    void moveTo(const wxPoint& point)
    {
        m_input.MouseMove(point);
        settle(60);
    }

    MainFrame& m_frame;
    wxUIActionSimulator m_input;
};

void printSettings(const RunSettings& s)
{
    printLine("settings", wxString::Format("composition=%d integration=%d sigma=%d auto=%d hdr=%d unify=%d "
                                           "pollution=%d/%d/%d distortion=%d color=%d timelapse=%d",
                                           s.compositionMode, s.integrationMode, s.sigmaIndex, s.autoBrightness,
                                           s.hdr, s.unifyExposure, s.reducePollution, s.reducePollutionMode,
                                           s.reducePollutionStrength, s.distortionCorrection, s.colorSpace,
                                           s.timeLapse));
}

// Answers the next context menu of the parameter tree from the keyboard once it is open.
void chooseFromNextMenu(MainFrame& frame, User& user, int downs)
{
    wxTreeCtrl* tree = frame.parameterTree();
    auto answered = std::make_shared<bool>(false);
    tree->Bind(wxEVT_MENU_OPEN, [&user, downs, answered](wxMenuEvent& event) {
        event.Skip();
        if (*answered)
            return;
        *answered = true;
        // The keys go in once the menu has taken the keyboard.
        wxTheApp->CallAfter([&user, downs] {
            settle(120);
            for (int i = 0; i < downs; ++i)
                user.key(WXK_DOWN);
            user.key(WXK_RETURN);
        });
    });
}

}  // namespace

bool runOptionsJob(MainFrame& frame, const wxArrayString& starFiles, const wxString& output)
{
    frame.addStarFiles(starFiles);
    frame.setOutputFile(output);
    frame.Raise();
    check("files in", [] { return true; });
    settle(200);
    User user(frame);
    const RunSettings& s = frame.settings();
    bool ok = true;

    user.doubleClickItem(ParamItem::AutoBrightness);
    ok &= check("double-click Auto brightness", [&] { return s.autoBrightness; });

    user.clickItem(ParamItem::Integration);
    user.clickControl(ctl::SelectBestPixels);
    ok &= check("radio Select best pixels", [&] { return s.integrationMode == 1; });
    user.slide(ctl::Sigma, 1);
    ok &= check("sigma slider one step towards Strict", [&] { return s.sigmaIndex == 3; });

    user.doubleClickItem(ParamItem::EnhanceStars);
    ok &= check("double-click Enhance star light", [&] { return s.enhanceStars; });
    user.clickItem(ParamItem::EnhanceStars);
    user.slide(ctl::EnhanceStrength, 1);
    ok &= check("enhance star light on, strength Strong", [&] { return s.enhanceStars && s.enhanceStarsStrength == 4; });

    user.doubleClickItem(ParamItem::Distortion);
    ok &= check("double-click distortion to Complex", [&] { return s.distortionCorrection == 2; });

    user.clickItem(ParamItem::ColorSpace);
    chooseFromNextMenu(frame, user, 2);
    user.rightClickItem(ParamItem::ColorSpace);
    ok &= check("context menu Adobe RGB", [&] { return s.colorSpace == 1; });

    user.clickFileItem(Category::Star);
    user.clickControl(ctl::UnifyExposure);
    ok &= check("check box Unify exposure", [&] { return s.unifyExposure; });

    ok &= check("title marks the project modified", [&] { return frame.GetTitle().EndsWith("*"); });
    printSettings(s);
    if (!ok)
        return false;
    wxWindow* start = wxWindow::FindWindowByLabel(uiText(txt::Start), &frame);
    if (!check("Start button found", [&] { return start != nullptr; }))
        return false;
    return watchStacking(frame, false, [&] { user.clickWindow(start); });
}

bool saveScreenshots(MainFrame& frame, const wxArrayString& starFiles, const wxString& prefix)
{
    frame.addStarFiles(starFiles);
    settle(800);
    User user(frame);
    bool ok = true;
    auto shoot = [&](const wxString& name) {
        user.moveAway();
        settle(800);
        frame.Refresh();
        frame.Update();
        settle(200);
        wxWindowDC screen(&frame);
        const wxSize size = screen.GetSize();
        wxBitmap picture(size.GetWidth(), size.GetHeight(), 24);
        wxMemoryDC memory(picture);
        memory.Blit(0, 0, size.GetWidth(), size.GetHeight(), &screen, 0, 0);
        memory.SelectObject(wxNullBitmap);
        const wxString path = prefix + "-" + name + ".png";
        const bool saved = picture.SaveFile(path, wxBITMAP_TYPE_PNG);
        ok &= check("screenshot " + path, [&] { return saved; });
    };
    user.clickItem(ParamItem::Integration);
    user.clickControl(ctl::SelectBestPixels);
    shoot("computing");
    user.doubleClickItem(ParamItem::ReducePollution);
    ok &= check("pollution on", [&] { return frame.settings().reducePollution; });
    user.clickItem(ParamItem::ReducePollution);
    shoot("pollution");
    user.clickItem(ParamItem::SkyRegion);
    shoot("sky");
    user.doubleClickItem(ParamItem::TimeLapse);
    user.clickItem(ParamItem::TimeLapse);
    shoot("timelapse");
    return ok;
}
