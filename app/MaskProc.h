#pragma once

#include "PostProc.h"

// The brush: the left button paints sky on the mask, the right one erases; the wheel changes
// the size. An outline of the brush follows the mouse inside the window.
class MaskProc final : public PostProc {
public:
    MaskProc(OperationWindow& window, int screenWidth) : m_window(window), m_screenWidth(screenWidth) {}

    void activate(wxWindow& window) override;
    int mouseWheel(int rotation, int delta) override;
    int mouseEnterLeave(bool entered) override;
    int mouseButton(const PreviewMouse& mouse, wxSize displayed) override;
    bool hasShape() const override;
    void renderOverlay(velapp::RgbView view) const override;
    void drawDecorations(wxDC& dc, wxPoint offset, wxSize displayed) const override;

private:
    OperationWindow& m_window;
    int m_screenWidth;
    bool m_inside = false;
    velapp::DisplayPoint m_cursor;
};
