#include "SelfTestInput.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/button.h>
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
#include "SelfTestUser.h"
#include "UiText.h"
#include "VelostarDialog.h"

using namespace velapp;

using namespace selftest;

namespace {

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
        const wxString path = prefix + "-" + name + ".png";
        const bool saved = saveScreenPicture(frame, wxWindowDC(&frame).GetSize(), path);
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
