#include "StartCheck.h"

#include <algorithm>

#include "TextIds.h"

namespace velapp {

namespace {

StartDecision refuse(int messageText, StartFocus focus)
{
    return StartDecision{false, messageText, focus};
}

}  // namespace

RunFiles runFiles(const FileTreeModel& files, int compositionMode)
{
    RunFiles run;
    run.stars = files.list(Category::Star).files();
    if (files.base()) {
        run.base = files.base();
        std::erase(run.stars, *run.base);
        return run;
    }
    if (run.stars.empty())
        return run;
    std::stable_sort(run.stars.begin(), run.stars.end(),
                     [](const auto& a, const auto& b) { return fileStemOf(a) < fileStemOf(b); });
    const size_t index = compositionMode == 1 ? 0 : middleIndex(run.stars.size());
    run.base = run.stars[index];
    run.stars.erase(run.stars.begin() + static_cast<std::ptrdiff_t>(index));
    return run;
}

StartDecision checkStart(const FileTreeModel& files, RunSettings& settings, const StartConditions& conditions,
                         const std::function<bool(StartQuestion)>& ask)
{
    RunFiles run = runFiles(files, settings.compositionMode);
    if (!run.base)
        return refuse(txt::PleaseAddStars, StartFocus::None);

    const size_t starFiles = files.list(Category::Star).fileCount();
    if (settings.compositionMode == 0 && settings.integrationMode == 2 && starFiles >= 2 &&
        !conditions.usableSkyRegion && !ask(StartQuestion::ContinueWithoutSkyRegion))
        return refuse(0, StartFocus::SkyRegion);

    if (!files.output())
        return refuse(txt::PleaseAssignOutput, StartFocus::None);
    if (conditions.changedSinceLastRun && !conditions.outputConfirmed && conditions.outputExists &&
        !ask(StartQuestion::OverwriteOutput))
        return refuse(0, StartFocus::Output);

    if (settings.timeLapseApplies() && settings.timeLapseFrames >= 0 &&
        static_cast<size_t>(settings.timeLapseFrames) >= starFiles)
        return refuse(txt::TimeLapseTooLarge, StartFocus::TimeLapse);

    settings.baseImage = std::move(run.base);
    settings.starImages = std::move(run.stars);
    settings.noiseImages = files.list(Category::Noise).files();
    settings.vignettingImages = files.list(Category::Vignetting).files();
    settings.output = files.output();
    return StartDecision{true, 0, StartFocus::None};
}

}  // namespace velapp
