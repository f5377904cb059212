#pragma once

#include "PostProc.h"

// The gradient tool: a drag from the sky towards the ground sets where the ramp ends (the line
// across the drag's end) and how far back it rises (the drag's length).
class GradientProc final : public PostProc {
public:
    explicit GradientProc(OperationWindow& window) : m_window(window) {}

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
