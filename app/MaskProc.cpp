#include "MaskProc.h"

#include <wx/brush.h>
#include <wx/cursor.h>
#include <wx/dc.h>
#include <wx/pen.h>

#include "BrushMask.h"
#include "OperationWindow.h"

using namespace velapp;

void MaskProc::activate(wxWindow& window) { window.SetCursor(wxCursor(wxCURSOR_PENCIL)); }

int MaskProc::mouseWheel(int rotation, int delta)
{
    m_window.setBrushIndex(brushIndexAfterWheel(m_window.brushIndex(), rotation, delta, m_screenWidth));
    return RedrawWindow;
}

int MaskProc::mouseEnterLeave(bool entered)
{
    m_inside = entered;
    return RedrawWindow;
}

int MaskProc::mouseButton(const PreviewMouse& mouse, wxSize displayed)
{
    m_inside = true;
    m_cursor = mouse.current;
    if (!m_window.hasImage() || !mouse.buttonDown() || mouse.kind == PreviewMouse::Kind::Release ||
        mouse.kind == PreviewMouse::Kind::Move || displayed.GetWidth() <= 0 || displayed.GetHeight() <= 0)
        return RedrawWindow;
    MaskImage* painted = m_window.paintableMask();
    if (!painted || !painted->valid())
        return RedrawWindow;
    MaskImage& mask = *painted;
    // Displayed pixel centres in mask pixels.
    const float sx = static_cast<float>(mask.width) / displayed.GetWidth();
    const float sy = static_cast<float>(mask.height) / displayed.GetHeight();
    paintStroke(mask, (mouse.previous.x + 0.5f) * sx, (mouse.previous.y + 0.5f) * sy, (mouse.current.x + 0.5f) * sx,
                (mouse.current.y + 0.5f) * sy,
                static_cast<float>(brushPenWidth(m_window.brushIndex(), mask.width, displayed.GetWidth())),
                mouse.right && !mouse.left);
    m_window.maskPainted();
    return RedrawOverlay;
}

bool MaskProc::hasShape() const { return m_window.mask() != nullptr; }

void MaskProc::renderOverlay(RgbView view) const
{
    if (const MaskImage* mask = m_window.mask())
        shadeBrushMask(view, *mask, m_window.highlightMarks());
}

void MaskProc::drawDecorations(wxDC& dc, wxPoint offset, wxSize) const
{
    if (!m_inside || !m_window.hasImage())
        return;
    dc.SetPen(wxPen(lineColour(), 1, wxPENSTYLE_SOLID));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawCircle(offset.x + m_cursor.x, offset.y + m_cursor.y, brushDiameter(m_window.brushIndex()) / 2);
}
