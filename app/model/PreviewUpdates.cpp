#include "PreviewUpdates.h"

namespace velapp {

Change previewShapeChanged(SkyRegionPreview::Shape shape, const SkyRegionPreview& preview, bool byProgram,
                           OptionContext& c)
{
    switch (shape) {
    case SkyRegionPreview::Shape::BoundaryLine: c.settings.starBound = storedBoundary(preview.boundaryLine()); break;
    case SkyRegionPreview::Shape::Gradient: c.settings.gradient = storedGradient(preview.gradient()); break;
    case SkyRegionPreview::Shape::Mask: c.sky.maskPainted = preview.hasMask(); break;
    }
    return Change{byProgram ? Edit::None : Edit::Changed};
}

bool copyPaintedMask(const SkyRegionPreview* preview, const MaskImage& held, MaskImage& into)
{
    if (preview)
        return preview->copyMask(into) && into.valid();
    into = held;
    return into.valid();
}

void prepareSkyRegion(const SkyRegionPreview* preview, const MaskImage& held, OptionContext& c)
{
    c.settings.skyMask.clear();
    c.settings.skyRegionMode = skyRegionMode(c.sky, c.settings);
    if (c.settings.skyRegionMode != SkyRegionMode::IrregularMask)
        return;
    if (!copyPaintedMask(preview, held, c.settings.skyMask)) {
        c.settings.skyMask.clear();
        c.settings.skyRegionMode = SkyRegionMode::None;
    }
}

}  // namespace velapp
