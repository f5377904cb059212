#include "RightBoundProc.h"

#include <wx/cursor.h>
#include <wx/dc.h>
#include <wx/pen.h>

#include "OperationWindow.h"

void RightBoundProc::activate(wxWindow& window) { window.SetCursor(wxCursor(wxCURSOR_CROSS)); }

int RightBoundProc::mouseButton(const PreviewMouse& mouse, wxSize displayed)
{
    if (!m_window.hasImage() || !mouse.buttonDown() || mouse.kind == PreviewMouse::Kind::Release ||
        mouse.kind == PreviewMouse::Kind::Move)
        return RedrawNothing;
    m_window.drawBoundaryLine(
        velapp::boundaryFromDrag(mouse.start, mouse.current, displayed.GetWidth(), displayed.GetHeight()));
    return RedrawOverlay;
}

bool RightBoundProc::hasShape() const { return m_window.hasImage() && velapp::hasTwoPoints(m_window.boundaryLine()); }

void RightBoundProc::renderOverlay(velapp::RgbView view) const
{
    if (hasShape())
        velapp::shadeBoundarySide(view, m_window.boundaryLine());
}

void RightBoundProc::drawDecorations(wxDC& dc, wxPoint offset, wxSize displayed) const
{
    if (!hasShape())
        return;
    const auto& line = m_window.boundaryLine();
    dc.SetPen(wxPen(lineColour(), 1, wxPENSTYLE_SOLID));
    dc.DrawLine(offset.x + wxRound(line[0] * displayed.GetWidth()), offset.y + wxRound(line[1] * displayed.GetHeight()),
                offset.x + wxRound(line[2] * displayed.GetWidth()), offset.y + wxRound(line[3] * displayed.GetHeight()));
}
