#pragma once

#include "OptionContext.h"
#include "SkyRegionPreview.h"

namespace velapp {

// The preview changed one of its shapes: the settings take the shape over (lines extended across
// the image). Changes the program made by loading or clearing (`byProgram`) are not edits.
Change previewShapeChanged(SkyRegionPreview::Shape shape, const SkyRegionPreview& preview, bool byProgram,
                           OptionContext& context);

// The painted mask: the preview's while one is registered, else `held` (the mask a loaded project
// brought, which the main window keeps while no preview holds it). False when there is none.
bool copyPaintedMask(const SkyRegionPreview* preview, const MaskImage& held, MaskImage& into);

// Start: the region mode of the run, with the painted mask copied for an irregular mask; a mask
// that cannot be copied leaves the run without a region.
void prepareSkyRegion(const SkyRegionPreview* preview, const MaskImage& held, OptionContext& context);

}  // namespace velapp
