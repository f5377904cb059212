#pragma once

#include "PostProc.h"

// The boundary line tool: a drag draws the line from its start to the mouse, with the ground
// side (right of the drawing direction) darkened.
class RightBoundProc final : public PostProc {
public:
    explicit RightBoundProc(OperationWindow& window) : m_window(window) {}

    void activate(wxWindow& window) override;
    int mouseWheel(int, int) override { return RedrawNothing; }
    int mouseEnterLeave(bool) override { return RedrawNothing; }
    int mouseButton(const PreviewMouse& mouse, wxSize displayed) override;
    bool hasShape() const override;
    void renderOverlay(velapp::RgbView view) const override;
    void drawDecorations(wxDC& dc, wxPoint offset, wxSize displayed) const override;

private:
    OperationWindow& m_window;
};
