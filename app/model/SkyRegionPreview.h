#pragma once

#include <array>

#include "RunSettings.h"
#include "SkyRegion.h"

namespace velapp {

// What the main window needs from the preview's region tools. The preview implements it; the
// main window calls it on the UI thread and, in return, gets told of every shape the preview
// changes (MainFrame::previewRegionChanged), with `byProgram` set for loads and clears.
class SkyRegionPreview {
public:
    enum class Shape { BoundaryLine, Gradient, Mask };

    virtual ~SkyRegionPreview() = default;

    virtual void selectTool(SkyTool tool) = 0;
    virtual void setHighlight(bool on) = 0;
    // Releases the painted mask ("Reset" of the sky-region panel).
    virtual void clearMask() = 0;
    // Clears the boundary line, the gradient and the mask.
    virtual void clearShapes() = 0;
    // Shows a loaded project's shapes in place of the drawn ones (as stored in the settings; no
    // mask when null).
    virtual void loadShapes(const std::array<float, 4>& boundaryLine, const std::array<float, 5>& gradient,
                            const MaskImage* mask) = 0;

    // The shapes as drawn, as fractions of the image (x0, y0, x1, y1[, height]).
    virtual std::array<float, 4> boundaryLine() const = 0;
    virtual std::array<float, 5> gradient() const = 0;
    virtual bool hasMask() const = 0;
    // The painted mask at its own size as 8-bit RGB; false when there is none or it cannot be
    // converted.
    virtual bool copyMask(MaskImage& into) const = 0;
};

}  // namespace velapp
