#include "SelfTestPreview.h"

#include <array>
#include <chrono>
#include <cmath>

#include <wx/bitmap.h>
#include <wx/filename.h>
#include <wx/timer.h>

#include "MainFrame.h"
#include "MaskFile.h"
#include "OperationWindow.h"
#include "OptionPanels.h"
#include "SelfTest.h"
#include "SelfTestUser.h"

using namespace velapp;
using namespace selftest;

namespace {

constexpr auto kLoadWait = std::chrono::seconds(60);
constexpr int kNewProjectCommand = 1;  // the menu command "New project"

// The preview as it is on screen.
bool savePreview(OperationWindow& preview, const wxString& path)
{
    preview.Refresh();
    preview.Update();
    settle(300);
    return check("preview saved as " + path,
                 [&] { return saveScreenPicture(preview, preview.GetClientSize(), path); });
}

// A point given as fractions of the displayed image, on the screen.
wxPoint onScreen(const OperationWindow& preview, double x, double y)
{
    const PreviewFit fit = preview.fit();
    return preview.ClientToScreen(wxPoint(fit.offsetX + static_cast<int>(x * fit.width),
                                          fit.offsetY + static_cast<int>(y * fit.height)));
}

wxString displayPoints(const OperationWindow& preview, const wxPoint& from, const wxPoint& to)
{
    const PreviewFit fit = preview.fit();
    const wxPoint a = preview.ScreenToClient(from) - wxPoint(fit.offsetX, fit.offsetY);
    const wxPoint b = preview.ScreenToClient(to) - wxPoint(fit.offsetX, fit.offsetY);
    return wxString::Format("%d %d %d %d", a.x, a.y, b.x, b.y);
}

wxString numbers(const float* values, int count)
{
    wxString text;
    for (int i = 0; i < count; ++i)
        text += wxString::Format(i == 0 ? "%.9g" : ",%.9g", values[i]);
    return text;
}

bool runWithTool(MainFrame& frame, User& user, int toolControl, const wxString& name, const wxString& prefix)
{
    // Choosing the output shows its own panel; the sky-region item is chosen again to get the
    // tools back.
    frame.setOutputFile(prefix + "-" + name + ".tif");
    user.clickItem(ParamItem::AutoBrightness);
    user.clickItem(ParamItem::SkyRegion);
    user.clickControl(toolControl);
    if (!check("tool for " + name, [&] { return frame.previewWindow()->toolNumber() == toolControl - ctl::BoundaryLine + 1; }))
        return false;
    printLine("run", name);
    return watchStacking(frame, false, [&frame] { frame.pressStart(); });
}

// "New project" empties the preview; opening the saved project brings its shapes back.
bool renewAndReopen(MainFrame& frame, const wxString& project)
{
    OperationWindow& preview = *frame.previewWindow();
    const std::array<float, 4> boundary = frame.settings().starBound;
    if (!check("project saved", [&] { return frame.saveProjectTo(project); }))
        return false;
    wxCommandEvent newProject(wxEVT_MENU, kNewProjectCommand);
    frame.ProcessWindowEvent(newProject);
    bool ok = check("new project empties the preview", [&] {
        return !preview.hasImage() && !preview.hasMask() && !hasTwoPoints(preview.boundaryLine()) &&
               !hasGradient(preview.gradient()) && !frame.settings().starBoundSet();
    });
    ok &= check("project opened", [&] { return frame.openProject(project); });
    ok &= check("project's shapes in the preview", [&] {
        // The project keeps six decimals.
        const auto line = preview.boundaryLine();
        bool same = true;
        for (size_t i = 0; i < line.size(); ++i)
            same &= std::fabs(line[i] - boundary[i]) < 1e-5f;
        return same && preview.hasMask() && hasGradient(preview.gradient()) && preview.hasImage() &&
               !preview.isLoading();
    });
    return ok;
}

}  // namespace

bool runPreviewJob(MainFrame& frame, const wxArrayString& starFiles, const wxString& prefix)
{
    frame.Raise();
    frame.addStarFiles(starFiles);
    OperationWindow& preview = *frame.previewWindow();
    const RunSettings& s = frame.settings();
    User user(frame);
    bool ok = check("base image in the preview", [&] { return preview.hasImage() && !preview.isLoading(); });
    if (!ok)
        return false;
    user.moveToFileTree();
    const PreviewFit fit = preview.fit();
    printLine("fit", wxString::Format("%d %d %d %d", fit.offsetX, fit.offsetY, fit.width, fit.height));
    ok &= savePreview(preview, prefix + "-base.png");

    user.doubleClickItem(ParamItem::EnhanceStars);
    ok &= check("enhance star light on", [&] { return s.enhanceStars; });

    // A boundary drawn left to right, falling a little: sky above.
    user.clickItem(ParamItem::SkyRegion);
    user.clickControl(ctl::BoundaryLine);
    ok &= check("boundary line tool", [&] { return preview.toolNumber() == 1; });
    const wxPoint lineFrom = onScreen(preview, 0.2, 0.55);
    const wxPoint lineTo = onScreen(preview, 0.8, 0.6);
    user.drag(lineFrom, lineTo, wxMOUSE_BTN_LEFT, 8);
    ok &= check("boundary line drawn", [&] { return s.starBoundSet(); });
    printLine("drawn", "boundary " + displayPoints(preview, lineFrom, lineTo));
    printLine("stored", "boundary " + numbers(s.starBound.data(), 4));
    user.moveToFileTree();
    ok &= savePreview(preview, prefix + "-boundary.png");

    // A gradient dragged from high in the sky down to the horizon.
    user.clickControl(ctl::Gradient);
    ok &= check("gradient tool", [&] { return preview.toolNumber() == 2; });
    const wxPoint rampFrom = onScreen(preview, 0.5, 0.3);
    const wxPoint rampTo = onScreen(preview, 0.55, 0.6);
    user.drag(rampFrom, rampTo, wxMOUSE_BTN_LEFT, 8);
    ok &= check("gradient drawn", [&] { return s.gradientSet(); });
    printLine("drawn", "gradient " + displayPoints(preview, rampFrom, rampTo));
    printLine("stored", "gradient " + numbers(s.gradient.data(), 5));
    user.moveToFileTree();
    ok &= savePreview(preview, prefix + "-gradient.png");

    // Paint the upper sky, then erase a spot of it with the right button.
    user.clickControl(ctl::IrregularMask);
    ok &= check("brush tool", [&] { return preview.toolNumber() == 3; });
    const wxPoint brushFrom = onScreen(preview, 0.1, 0.15);
    const wxPoint brushTo = onScreen(preview, 0.9, 0.15);
    user.drag(brushFrom, brushTo, wxMOUSE_BTN_LEFT, 12);
    const wxPoint erase = onScreen(preview, 0.5, 0.15);
    user.drag(erase, erase, wxMOUSE_BTN_RIGHT, 1);
    ok &= check("mask painted", [&] { return preview.hasMask(); });
    printLine("drawn", "brush " + displayPoints(preview, brushFrom, brushTo) + " erased " +
                           displayPoints(preview, erase, erase));
    user.moveToFileTree();
    ok &= savePreview(preview, prefix + "-brush.png");
    user.clickControl(ctl::AuxiliaryHighlight);
    ok &= check("auxiliary highlight on", [&] { return preview.highlight(); });
    user.moveToFileTree();
    ok &= savePreview(preview, prefix + "-highlight.png");
    MaskImage mask;
    ok &= check("mask saved", [&] {
        return preview.copyMask(mask) && saveMaskPng((prefix + "-mask.png").utf8_string(), mask);
    });
    if (!ok)
        return false;

    ok &= runWithTool(frame, user, ctl::BoundaryLine, "boundary", prefix);
    ok &= runWithTool(frame, user, ctl::Gradient, "gradient", prefix);
    ok &= runWithTool(frame, user, ctl::IrregularMask, "mask", prefix);
    // The output item is selected, so the last result is what the preview shows now.
    ok &= check("result in the preview", [&] { return preview.hasImage() && !preview.isLoading(); });
    return ok && renewAndReopen(frame, prefix + ".vlp");
}

bool runPreviewLoads(MainFrame& frame, const wxArrayString& images)
{
    OperationWindow& preview = *frame.previewWindow();
    int paints = 0;
    preview.Bind(wxEVT_PAINT, [&paints](wxPaintEvent& event) {
        ++paints;
        event.Skip();
    });
    wxTimer repaint;
    repaint.Bind(wxEVT_TIMER, [&preview](wxTimerEvent&) { preview.Refresh(false); });
    repaint.Start(20);
    bool ok = true;
    for (const wxString& path : images) {
        settle(200);
        paints = 0;
        preview.showImage(path);
        const auto end = std::chrono::steady_clock::now() + kLoadWait;
        while (preview.isLoading() && std::chrono::steady_clock::now() < end)
            settle(10);
        const int paintsWhileLoading = paints;
        ok &= !preview.isLoading();
        const wxSize full = preview.fullSize();
        const PreviewFit fit = preview.fit();
        printLine("loaded", wxString::Format("%s paints=%d image=%d full=%dx%d shown=%dx%d message=",
                                             wxFileName(path).GetFullName(), paintsWhileLoading,
                                             preview.hasImage() ? 1 : 0, full.GetWidth(), full.GetHeight(), fit.width,
                                             fit.height) +
                                preview.message());
    }
    repaint.Stop();
    return ok;
}
