#pragma once

#include <functional>

#include "FileTree.h"
#include "RunSettings.h"

// The checks of "Start": which files a run takes and why it may not begin. UI thread only.
namespace velapp {

enum class StartQuestion {
    ContinueWithoutSkyRegion,  // "Freeze ground" without a sky region; No selects the sky region
    OverwriteOutput,           // the output exists and was not confirmed; No selects the output
};

// The tree item to select after a refusal or a No.
enum class StartFocus { None, SkyRegion, Output, TimeLapse };

struct StartConditions {
    bool usableSkyRegion = false;
    bool changedSinceLastRun = true;
    bool outputConfirmed = false;
    bool outputExists = false;
};

struct StartDecision {
    bool proceed = false;
    int messageText = 0;  // text number of an error message box (caption "Error"), 0 for none
    StartFocus focus = StartFocus::None;
};

struct RunFiles {
    std::optional<std::wstring> base;
    std::vector<std::wstring> stars;
};

// The base and star list of a run. Without a base the star files are ordered by name without
// extension and the first (trails) or middle one becomes the base; a base that is also a star
// file leaves the star list.
RunFiles runFiles(const FileTreeModel& files, int compositionMode);

// Runs the checks in order, asking `ask` where the user may go on anyway. On success the paths of
// `settings` are filled from the tree; on a refusal `settings` is left as it was.
StartDecision checkStart(const FileTreeModel& files, RunSettings& settings, const StartConditions& conditions,
                         const std::function<bool(StartQuestion)>& ask);

}  // namespace velapp
