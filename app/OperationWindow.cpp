#include "OperationWindow.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include <wx/brush.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>
#include <wx/settings.h>

#include "BrushMask.h"
#include "GradientProc.h"
#include "LoadThread.h"
#include "MaskProc.h"
#include "RightBoundProc.h"
#include "UiText.h"

using namespace velapp;

wxDEFINE_EVENT(EVT_BOUNDARY_CHANGED, OperationWindow::UpdateEvent);
wxDEFINE_EVENT(EVT_GRADIENT_CHANGED, OperationWindow::UpdateEvent);
wxDEFINE_EVENT(EVT_MASK_CHANGED, OperationWindow::UpdateEvent);

namespace {

const wxColour kAroundImage(159, 159, 159);
constexpr int kSmoothedLongestSide = 640;  // detail is judged on a copy smoothed to this size

int screenWidth() { return wxSystemSettings::GetMetric(wxSYS_SCREEN_X); }
int screenLongestSide() { return std::max(screenWidth(), wxSystemSettings::GetMetric(wxSYS_SCREEN_Y)); }

MaskImage maskFromImage(const wxImage& image)
{
    MaskImage mask;
    if (!image.IsOk() || image.GetWidth() <= 0 || image.GetHeight() <= 0)
        return mask;
    mask.width = image.GetWidth();
    mask.height = image.GetHeight();
    const unsigned char* data = image.GetData();
    mask.rgb.assign(data, data + static_cast<size_t>(mask.width) * mask.height * 3);
    return mask;
}

}  // namespace

template <typename Action> void OperationWindow::guarded(Action&& action)
{
    try {
        action();
    } catch (...) {
        // Nothing may leave an event handler; a failed redraw or stroke is simply not shown.
    }
}

OperationWindow::OperationWindow(wxWindow* parent)
    : wxWindow(parent, kWindowId, wxDefaultPosition, wxDefaultSize, wxFULL_REPAINT_ON_RESIZE, "OperationWindow"),
      m_tool(std::make_unique<NullPostProc>()), m_brushIndex(kBrushDefaultIndex)
{
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    SetBackgroundColour(wxColour(79, 79, 79));
    SetForegroundColour(*wxWHITE);
    SetMinClientSize(wxSize(300, 200));
    Bind(wxEVT_PAINT, &OperationWindow::onPaint, this);
    Bind(wxEVT_SIZE, &OperationWindow::onSize, this);
    for (const auto& type : {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_RIGHT_DOWN, wxEVT_RIGHT_UP, wxEVT_MOTION,
                             wxEVT_MOUSEWHEEL, wxEVT_ENTER_WINDOW, wxEVT_LEAVE_WINDOW})
        Bind(type, &OperationWindow::onMouse, this);
    Bind(wxEVT_MOUSE_CAPTURE_LOST, &OperationWindow::onCaptureLost, this);
    Bind(EVT_PREVIEW_LOADED, &OperationWindow::onLoaded, this);
}

OperationWindow::~OperationWindow() { stopLoading(); }

PreviewFit OperationWindow::fit() const
{
    if (!hasImage())
        return PreviewFit();
    const wxSize client = GetClientSize();
    return fitPreview(client.GetWidth(), client.GetHeight(), m_image.GetWidth(), m_image.GetHeight());
}

void OperationWindow::showImage(const wxString& path, const wxString& maskPath)
{
    stopLoading();
    m_image = wxImage();
    m_fullSize = wxSize();
    discardCaches();
    m_message = uiText(txt::Loading);
    m_loader = std::make_unique<LoadThread>(this, path, screenLongestSide(), maskPath);
    if (m_loader->Run() != wxTHREAD_NO_ERROR) {
        m_loader.reset();
        m_message = uiText(txt::ReadFailed);
    }
    Refresh(false);
}

// The load has posted its event, so waiting for it is short. An event of a load dropped since
// is ignored.
void OperationWindow::onLoaded(wxThreadEvent& event)
{
    guarded([&] { adoptLoaded(event.GetExtraLong()); });
}

void OperationWindow::adoptLoaded(long serial)
{
    if (!m_loader || m_loader->serial() != serial)
        return;
    m_loader->Wait();
    PreviewLoadResult result = m_loader->takeResult();
    m_loader.reset();
    discardCaches();
    if (!result.ok || !result.image.IsOk()) {
        m_message = uiText(txt::ReadFailed);
        Refresh(false);
        return;
    }
    m_image = std::move(result.image);
    if (m_image.HasAlpha())
        m_image.ClearAlpha();
    m_fullSize = result.fullSize.GetWidth() > 0 && result.fullSize.GetHeight() > 0 ? result.fullSize : m_image.GetSize();
    m_message.clear();
    Refresh(false);
    if (result.mask.IsOk()) {
        adoptMask(maskFromImage(result.mask));
        notify(EVT_MASK_CHANGED, 1);
    }
}

// The load is abandoned at its next step and waited for.
void OperationWindow::stopLoading()
{
    if (m_loader)
        m_loader->Delete();
    m_loader.reset();
}

void OperationWindow::releaseImage()
{
    stopLoading();
    m_image = wxImage();
    m_fullSize = wxSize();
    m_message.clear();
    discardCaches();
    Refresh(false);
}

void OperationWindow::clear(bool notifyShapes)
{
    const bool hadBoundary = hasTwoPoints(m_boundary);
    const bool hadGradient = hasGradient(m_gradient);
    const bool hadMask = hasMask();
    releaseImage();
    m_tool = std::make_unique<NullPostProc>();
    m_toolNumber = SkyTool::None;
    m_tool->activate(*this);
    m_boundary = {};
    m_gradient = {};
    releaseMask();
    if (!notifyShapes)
        return;
    if (hadBoundary)
        notify(EVT_BOUNDARY_CHANGED, 1);
    if (hadGradient)
        notify(EVT_GRADIENT_CHANGED, 1);
    if (hadMask)
        notify(EVT_MASK_CHANGED, 1);
}

void OperationWindow::setBoundaryLine(const std::array<float, 4>& line)
{
    m_boundary = line;
    handOver(RedrawOverlay);
    notify(EVT_BOUNDARY_CHANGED, 1);
}

void OperationWindow::setGradient(const std::array<float, 5>& gradient)
{
    m_gradient = gradient;
    handOver(RedrawOverlay);
    notify(EVT_GRADIENT_CHANGED, 1);
}

void OperationWindow::selectTool(SkyTool tool)
{
    switch (tool) {
    case SkyTool::BoundaryLine: m_tool = std::make_unique<RightBoundProc>(*this); break;
    case SkyTool::Gradient: m_tool = std::make_unique<GradientProc>(*this); break;
    case SkyTool::Brush: m_tool = std::make_unique<MaskProc>(*this, screenWidth()); break;
    case SkyTool::None: m_tool = std::make_unique<NullPostProc>(); break;
    }
    m_toolNumber = tool;
    m_tool->activate(*this);
    handOver(RedrawOverlay);
}

void OperationWindow::setHighlight(bool on)
{
    m_highlight = on;
    handOver(RedrawOverlay);
}

void OperationWindow::clearMask()
{
    releaseMask();
    handOver(RedrawOverlay);
    notify(EVT_MASK_CHANGED, 1);
}

void OperationWindow::clearShapes()
{
    m_boundary = {};
    m_gradient = {};
    releaseMask();
    handOver(RedrawOverlay);
    notify(EVT_BOUNDARY_CHANGED, 1);
    notify(EVT_GRADIENT_CHANGED, 1);
    notify(EVT_MASK_CHANGED, 1);
}

void OperationWindow::loadShapes(const std::array<float, 4>& boundaryLine, const std::array<float, 5>& gradient,
                                 const MaskImage* mask)
{
    m_boundary = boundaryLine;
    m_gradient = gradient;
    if (mask && mask->valid())
        adoptMask(*mask);
    else
        releaseMask();
    handOver(RedrawOverlay);
    notify(EVT_BOUNDARY_CHANGED, 1);
    notify(EVT_GRADIENT_CHANGED, 1);
    notify(EVT_MASK_CHANGED, 1);
}

bool OperationWindow::copyMask(MaskImage& into) const
{
    if (!m_mask)
        return false;
    try {
        into = *m_mask;
    } catch (const std::bad_alloc&) {
        into.clear();
        return false;
    }
    return into.valid();
}

void OperationWindow::drawBoundaryLine(const std::array<float, 4>& line)
{
    m_boundary = line;
    notify(EVT_BOUNDARY_CHANGED, 0);
}

void OperationWindow::drawGradient(const std::array<float, 5>& gradient)
{
    m_gradient = gradient;
    notify(EVT_GRADIENT_CHANGED, 0);
}

MaskImage* OperationWindow::paintableMask()
{
    if (!m_mask) {
        MaskImage blank = blankMask(m_fullSize.GetWidth(), m_fullSize.GetHeight());
        if (!blank.valid())
            return nullptr;
        m_mask = std::move(blank);
    }
    return &*m_mask;
}

void OperationWindow::maskPainted() { notify(EVT_MASK_CHANGED, 0); }

void OperationWindow::adoptMask(MaskImage mask)
{
    m_mask = std::move(mask);
    m_composedStale = true;
}

void OperationWindow::releaseMask()
{
    m_mask.reset();
    m_composedStale = true;
}

void OperationWindow::notify(wxEventType type, int programFlag)
{
    UpdateEvent event(type, GetId(), programFlag);
    event.SetEventObject(this);
    GetEventHandler()->ProcessEvent(event);
}

const std::vector<uint8_t>* OperationWindow::highlightMarks()
{
    if (!m_highlight || !m_scaled.IsOk())
        return nullptr;
    const wxSize size = m_scaled.GetSize();
    if (m_marksSize != size) {
        // Smoothing first keeps noise and single hot pixels from counting as detail.
        const double reduction = static_cast<double>(kSmoothedLongestSide) / std::max(size.GetWidth(), size.GetHeight());
        const int width = std::max(1, static_cast<int>(std::lround(size.GetWidth() * reduction)));
        const int height = std::max(1, static_cast<int>(std::lround(size.GetHeight() * reduction)));
        const wxImage smoothed = m_scaled.Scale(width, height, wxIMAGE_QUALITY_BOX_AVERAGE)
                                     .Scale(size.GetWidth(), size.GetHeight(), wxIMAGE_QUALITY_HIGH);
        m_marks = detailMarks(smoothed.GetData(), size.GetWidth(), size.GetHeight());
        m_marksSize = size;
    }
    return &m_marks;
}

void OperationWindow::discardCaches()
{
    m_scaled = wxImage();
    m_composed = wxBitmap();
    m_composedStale = true;
    m_marks.clear();
    m_marksSize = wxSize();
}

void OperationWindow::handOver(int redrawBits)
{
    if (redrawBits & RedrawOverlay)
        m_composedStale = true;
    if (redrawBits != RedrawNothing)
        Refresh(false);
}

const wxBitmap& OperationWindow::composedImage(const PreviewFit& fit)
{
    if (!m_scaled.IsOk() || m_scaled.GetWidth() != fit.width || m_scaled.GetHeight() != fit.height) {
        m_scaled = m_image.Scale(fit.width, fit.height, wxIMAGE_QUALITY_HIGH);
        m_composedStale = true;
    }
    if (m_composedStale || !m_composed.IsOk()) {
        wxImage overlaid = m_scaled.Copy();
        m_tool->renderOverlay(RgbView{overlaid.GetData(), fit.width, fit.height});
        m_composed = wxBitmap(overlaid);
        m_composedStale = false;
    }
    return m_composed;
}

void OperationWindow::paintInto(wxDC& dc)
{
    // Light grey around an image; without one the window's own dark background under the message.
    const PreviewFit shown = fit();
    dc.SetBackground(wxBrush(hasImage() ? kAroundImage : GetBackgroundColour()));
    dc.Clear();
    if (!shown.empty()) {
        dc.DrawBitmap(composedImage(shown), shown.offsetX, shown.offsetY);
        // Tool lines are one crisp pixel in their own colour.
        if (wxGraphicsContext* context = dc.GetGraphicsContext())
            context->SetAntialiasMode(wxANTIALIAS_NONE);
        m_tool->drawDecorations(dc, wxPoint(shown.offsetX, shown.offsetY), wxSize(shown.width, shown.height));
        return;
    }
    if (hasImage() || m_message.empty())
        return;
    dc.SetFont(GetFont());
    dc.SetTextForeground(GetForegroundColour());
    const wxSize text = dc.GetTextExtent(m_message);
    const wxSize client = GetClientSize();
    dc.DrawText(m_message, (client.GetWidth() - text.GetWidth()) / 2, client.GetHeight() / 3);
}

void OperationWindow::onPaint(wxPaintEvent&)
{
    wxPaintDC window(this);
    guarded([&] {
        const wxSize client = GetClientSize();
        if (client.GetWidth() <= 0 || client.GetHeight() <= 0)
            return;
        if (!m_offscreen.IsOk() || m_offscreen.GetSize() != client)
            m_offscreen = wxBitmap(client.GetWidth(), client.GetHeight(), 24);
        wxMemoryDC offscreen(m_offscreen);
        paintInto(offscreen);
        window.Blit(0, 0, client.GetWidth(), client.GetHeight(), &offscreen, 0, 0);
    });
}

void OperationWindow::onSize(wxSizeEvent& event)
{
    event.Skip();
    Refresh(false);
}

void OperationWindow::onMouse(wxMouseEvent& event)
{
    event.Skip();
    guarded([&] {
        const PreviewFit shown = fit();
        const wxSize displayed(shown.width, shown.height);
        const wxPoint at = event.GetPosition() - wxPoint(shown.offsetX, shown.offsetY);
        const DisplayPoint point{at.x, at.y};
        int redraw = RedrawNothing;
        const wxEventType type = event.GetEventType();
        if (type == wxEVT_MOUSEWHEEL) {
            redraw = m_tool->mouseWheel(event.GetWheelRotation(), event.GetWheelDelta());
        } else if (type == wxEVT_ENTER_WINDOW || type == wxEVT_LEAVE_WINDOW) {
            redraw = m_tool->mouseEnterLeave(type == wxEVT_ENTER_WINDOW);
        } else if ((type == wxEVT_LEFT_DOWN || type == wxEVT_RIGHT_DOWN) && !m_mouse.buttonDown()) {
            m_mouse = PreviewMouse{PreviewMouse::Kind::Press, point, point, point, type == wxEVT_LEFT_DOWN,
                                   type == wxEVT_RIGHT_DOWN};
            if (!HasCapture())
                CaptureMouse();
            redraw = m_tool->mouseButton(m_mouse, displayed);
        } else if ((type == wxEVT_LEFT_UP && m_mouse.left) || (type == wxEVT_RIGHT_UP && m_mouse.right)) {
            m_mouse.kind = PreviewMouse::Kind::Release;
            m_mouse.previous = m_mouse.current;
            m_mouse.current = point;
            redraw = m_tool->mouseButton(m_mouse, displayed);
            m_mouse.left = m_mouse.right = false;
            if (HasCapture())
                ReleaseMouse();
        } else if (type == wxEVT_MOTION) {
            m_mouse.kind = m_mouse.buttonDown() ? PreviewMouse::Kind::Drag : PreviewMouse::Kind::Move;
            m_mouse.previous = m_mouse.current;
            m_mouse.current = point;
            redraw = m_tool->mouseButton(m_mouse, displayed);
        }
        handOver(redraw);
    });
}

void OperationWindow::onCaptureLost(wxMouseCaptureLostEvent&)
{
    m_mouse.left = m_mouse.right = false;
}
