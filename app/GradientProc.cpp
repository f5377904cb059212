#include "GradientProc.h"

#include <cmath>

#include <wx/cursor.h>
#include <wx/dc.h>
#include <wx/pen.h>

#include "OperationWindow.h"

void GradientProc::activate(wxWindow& window) { window.SetCursor(wxCursor(wxCURSOR_CROSS)); }

int GradientProc::mouseButton(const PreviewMouse& mouse, wxSize displayed)
{
    if (!m_window.hasImage() || !mouse.buttonDown() || mouse.kind == PreviewMouse::Kind::Release ||
        mouse.kind == PreviewMouse::Kind::Move)
        return RedrawNothing;
    m_window.drawGradient(
        velapp::gradientFromDrag(mouse.start, mouse.current, displayed.GetWidth(), displayed.GetHeight()));
    return RedrawOverlay;
}

bool GradientProc::hasShape() const { return m_window.hasImage() && velapp::hasGradient(m_window.gradient()); }

void GradientProc::renderOverlay(velapp::RgbView view) const
{
    if (hasShape())
        velapp::shadeGradient(view, m_window.gradient());
}

void GradientProc::drawDecorations(wxDC& dc, wxPoint offset, wxSize displayed) const
{
    if (!hasShape())
        return;
    const auto& g = m_window.gradient();
    const double w = displayed.GetWidth();
    const double h = displayed.GetHeight();
    const double x0 = g[0] * w;
    const double y0 = g[1] * h;
    const double x1 = g[2] * w;
    const double y1 = g[3] * h;
    const double length = std::hypot(x1 - x0, y1 - y0);
    // The parallel line where the ramp reaches the sky, on the side the overlay ramps up.
    const double nx = (y1 - y0) / length * g[4] * h;
    const double ny = -(x1 - x0) / length * g[4] * h;
    dc.SetPen(wxPen(lineColour(), 1, wxPENSTYLE_SOLID));
    dc.DrawLine(offset.x + wxRound(x0), offset.y + wxRound(y0), offset.x + wxRound(x1), offset.y + wxRound(y1));
    dc.DrawLine(offset.x + wxRound(x0 + nx), offset.y + wxRound(y0 + ny), offset.x + wxRound(x1 + nx),
                offset.y + wxRound(y1 + ny));
}
