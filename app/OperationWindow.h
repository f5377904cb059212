#pragma once

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include <wx/bitmap.h>
#include <wx/event.h>
#include <wx/image.h>
#include <wx/window.h>

#include "PostProc.h"
#include "PreviewFit.h"
#include "SkyRegionPreview.h"

class LoadThread;
class wxThreadEvent;

// The preview on the right of the main window: the base image or the result, reduced to fit,
// with the sky-region tools drawing on it. It owns the image, the load running for it, the tool
// and the shapes (fractions of the image) and the brush mask, and reports every shape change as
// an UpdateEvent. UI thread only; images are decoded on a LoadThread.
class OperationWindow : public wxWindow, public velapp::SkyRegionPreview {
public:
    // A shape changed; the int is 1 when the program changed it by loading or clearing, 0 when
    // the user drew it.
    class UpdateEvent : public wxCommandEvent {
    public:
        UpdateEvent(wxEventType type, int id, int programFlag) : wxCommandEvent(type, id) { SetInt(programFlag); }
        int programFlag() const { return GetInt(); }
        wxEvent* Clone() const override { return new UpdateEvent(*this); }
    };

    static constexpr int kWindowId = 44;

    explicit OperationWindow(wxWindow* parent);
    ~OperationWindow() override;

    // Loads `path` (and the mask PNG `maskPath`, if given) off this thread; "Loading ..." shows
    // until it ends. A running load is waited for and dropped first.
    void showImage(const wxString& path, const wxString& maskPath = wxString());
    // Drops the image (and a running load) but keeps the shapes.
    void releaseImage();
    // Drops the image, the tool and every shape; `notify` reports each shape that existed.
    void clear(bool notify);
    // A loaded project's shapes, reported as the program's changes.
    void setBoundaryLine(const std::array<float, 4>& line);
    void setGradient(const std::array<float, 5>& gradient);

    bool hasImage() const { return m_image.IsOk(); }
    bool isLoading() const { return m_loader != nullptr; }
    wxSize fullSize() const { return m_fullSize; }
    const wxString& message() const { return m_message; }
    // Where the image is shown in the client area (empty without an image).
    velapp::PreviewFit fit() const;
    int toolNumber() const { return static_cast<int>(m_toolNumber); }
    bool highlight() const { return m_highlight; }

    // SkyRegionPreview.
    void selectTool(velapp::SkyTool tool) override;
    void setHighlight(bool on) override;
    void clearMask() override;
    void clearShapes() override;
    void loadShapes(const std::array<float, 4>& boundaryLine, const std::array<float, 5>& gradient,
                    const velapp::MaskImage* mask) override;
    std::array<float, 4> boundaryLine() const override { return m_boundary; }
    std::array<float, 5> gradient() const override { return m_gradient; }
    bool hasMask() const override { return m_mask.has_value(); }
    bool copyMask(velapp::MaskImage& into) const override;

    // For the tools: the user's drawing, reported as such.
    void drawBoundaryLine(const std::array<float, 4>& line);
    void drawGradient(const std::array<float, 5>& gradient);
    // The mask to paint on, made for the full image size when there is none yet; null without
    // an image.
    velapp::MaskImage* paintableMask();
    const velapp::MaskImage* mask() const { return m_mask ? &*m_mask : nullptr; }
    void maskPainted();
    int brushIndex() const { return m_brushIndex; }
    void setBrushIndex(int index) { m_brushIndex = index; }
    // The detail marks of the displayed image while "Auxiliary highlight" is on, else null.
    const std::vector<uint8_t>* highlightMarks();

private:
    void onPaint(wxPaintEvent& event);
    void onSize(wxSizeEvent& event);
    void onMouse(wxMouseEvent& event);
    void onCaptureLost(wxMouseCaptureLostEvent& event);
    void onLoaded(wxThreadEvent& event);
    void adoptLoaded(long serial);
    void stopLoading();
    void handOver(int redrawBits);
    void discardCaches();
    void adoptMask(velapp::MaskImage mask);
    void releaseMask();
    void notify(wxEventType type, int programFlag);
    const wxBitmap& composedImage(const velapp::PreviewFit& fit);
    void paintInto(wxDC& dc);
    template <typename Action> void guarded(Action&& action);

    wxImage m_image;  // the preview, already reduced to the screen
    wxSize m_fullSize;
    std::unique_ptr<LoadThread> m_loader;
    wxString m_message;

    std::unique_ptr<PostProc> m_tool;
    velapp::SkyTool m_toolNumber = velapp::SkyTool::None;
    int m_brushIndex;
    bool m_highlight = false;
    std::array<float, 4> m_boundary{};
    std::array<float, 5> m_gradient{};
    std::optional<velapp::MaskImage> m_mask;

    // The image at its displayed size, the same with the tool's overlay, and the detail marks.
    wxImage m_scaled;
    wxBitmap m_composed;
    bool m_composedStale = true;
    std::vector<uint8_t> m_marks;
    wxSize m_marksSize;
    wxBitmap m_offscreen;

    PreviewMouse m_mouse;
};

wxDECLARE_EVENT(EVT_BOUNDARY_CHANGED, OperationWindow::UpdateEvent);
wxDECLARE_EVENT(EVT_GRADIENT_CHANGED, OperationWindow::UpdateEvent);
wxDECLARE_EVENT(EVT_MASK_CHANGED, OperationWindow::UpdateEvent);
