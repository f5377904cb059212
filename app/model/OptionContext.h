#pragma once

#include <optional>

#include "FileTree.h"
#include "RunSettings.h"
#include "SkyRegion.h"

// What the parameter tree and the option panels read and edit, and what an edit asks the main
// window to do afterwards. UI thread only.
namespace velapp {

struct OptionContext {
    RunSettings& settings;
    const FileTreeModel& files;
    SkyRegionState& sky;

    size_t starFileCount() const { return files.list(Category::Star).fileCount(); }
};

// The items of the parameter tree, in the order shown; Integration is the child of Composition.
enum class ParamItem {
    SkyRegion,
    Composition,
    Integration,
    AutoBrightness,
    HighDynamicRange,
    RemoveHotPixels,
    MergePixels,
    ReducePollution,
    EnhanceStars,
    Distortion,
    TimeLapse,
    ColorSpace,
};

// The selected item of the file tree or the parameter tree (at most one is set).
struct Selection {
    std::optional<ParamItem> item;
    std::optional<Category> category;
};

enum class Edit {
    None,          // nothing the project stores changed
    Changed,       // the project is modified and differs from the last run
    ModifiedOnly,  // the project is modified, but a rerun would give the same result
};

// What the preview has to do after an edit.
// EstimateMask asks the main window to start the estimate of the brush mask from the frames.
enum class PreviewAction { None, SelectTool, SetHighlight, ClearMask, ClearShapes, EstimateMask };

struct Change {
    Edit edit = Edit::None;
    int statusText = 0;  // text number for the status bar, 0 to leave it
    PreviewAction preview = PreviewAction::None;
};

}  // namespace velapp
