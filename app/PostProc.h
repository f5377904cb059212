#pragma once

#include <wx/colour.h>
#include <wx/gdicmn.h>

#include "PreviewOverlays.h"
#include "PreviewShapes.h"

class OperationWindow;
class wxDC;
class wxWindow;

// What the preview tells a tool about the mouse, in displayed-image pixels (window position
// minus the image's offset).
struct PreviewMouse {
    enum class Kind { Press, Drag, Release, Move };
    Kind kind = Kind::Move;
    velapp::DisplayPoint start;     // where the button went down
    velapp::DisplayPoint previous;  // the point of the step before (the start at a press)
    velapp::DisplayPoint current;
    bool left = false;  // the button held, if any
    bool right = false;

    bool buttonDown() const { return left || right; }
};

// What a tool asks the preview to redraw.
enum PreviewRedraw : int {
    RedrawNothing = 0,
    RedrawOverlay = 1,  // the shape changed: the overlaid image is made again
    RedrawWindow = 2,   // only the decorations moved
};

// One sky-region tool of the preview. The preview owns the current one and calls it on the UI
// thread only; the tool keeps its shape in the preview, which reports every change.
class PostProc {
public:
    virtual ~PostProc() = default;

    // Sets the window's cursor for this tool.
    virtual void activate(wxWindow& window) = 0;
    virtual int mouseWheel(int rotation, int delta) = 0;
    virtual int mouseEnterLeave(bool entered) = 0;
    // A button press, a drag step, a release or a plain move, for the image shown `displayed`
    // large; returns PreviewRedraw bits.
    virtual int mouseButton(const PreviewMouse& mouse, wxSize displayed) = 0;
    virtual bool hasShape() const = 0;
    // Marks the shape on the displayed image's pixels.
    virtual void renderOverlay(velapp::RgbView view) const = 0;
    // Draws lines on top, with the image's top left corner at `offset`.
    virtual void drawDecorations(wxDC& dc, wxPoint offset, wxSize displayed) const = 0;

    // The colour of every tool's lines.
    static wxColour lineColour() { return wxColour(159, 127, 255); }
};

// No tool: the preview only shows the image.
class NullPostProc final : public PostProc {
public:
    void activate(wxWindow& window) override;
    int mouseWheel(int, int) override { return RedrawNothing; }
    int mouseEnterLeave(bool) override { return RedrawNothing; }
    int mouseButton(const PreviewMouse&, wxSize) override { return RedrawNothing; }
    bool hasShape() const override { return false; }
    void renderOverlay(velapp::RgbView) const override {}
    void drawDecorations(wxDC&, wxPoint, wxSize) const override {}
};
