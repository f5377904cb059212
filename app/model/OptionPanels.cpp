#include "OptionPanels.h"

#include <algorithm>
#include <cstdio>

#include "EngineSetup.h"
#include "ParameterTree.h"
#include "TextIds.h"

namespace velapp {

namespace {

bool alignStars(const RunSettings& s) { return s.compositionMode != 1; }

ControlState checked(bool on, bool enabled = true) { return ControlState{enabled, true, on ? 1 : 0}; }

Change setFlag(bool& field, bool value, Edit edit = Edit::Changed)
{
    if (field == value)
        return {};
    field = value;
    return Change{edit};
}

Change setNumber(int32_t& field, int32_t value, int statusText = 0)
{
    Change change{Edit::None, statusText};
    if (field != value) {
        field = value;
        change.edit = Edit::Changed;
    }
    return change;
}

int slider(int value) { return std::clamp(value, 0, kSliderPositions - 1); }

bool aggressiveAvailable(const OptionContext& c)
{
    const RunSettings& s = c.settings;
    const SkyRegionMode mode = skyRegionMode(c.sky, s);
    return s.reducePollution && s.reducePollutionMode == 1 &&
           (mode == SkyRegionMode::Gradient || mode == SkyRegionMode::IrregularMask);
}

Change chooseTool(SkyTool tool, OptionContext& c)
{
    if (c.sky.tool == tool)
        return {};
    c.sky.tool = tool;
    return Change{Edit::Changed, 0, PreviewAction::SelectTool};
}

}  // namespace

std::vector<Panel> panelsFor(const Selection& selection, const RunSettings& settings)
{
    if (selection.category) {
        if (*selection.category == Category::Star)
            return {Panel::StarOptions};
        if (*selection.category == Category::Vignetting)
            return {Panel::VignettingOptions};
        return {};
    }
    if (!selection.item)
        return {};
    switch (*selection.item) {
    case ParamItem::Composition:
    case ParamItem::Integration:
        return {Panel::Composition, alignStars(settings) ? Panel::ComputingOptions : Panel::EffectOptions};
    case ParamItem::ReducePollution: return {Panel::ReducePollution};
    case ParamItem::EnhanceStars: return {Panel::EnhanceStars};
    case ParamItem::Distortion: return {Panel::Distortion};
    case ParamItem::SkyRegion: return {Panel::SkyRegion};
    case ParamItem::TimeLapse: return {Panel::TimeLapse};
    default: return {};
    }
}

int panelTitle(Panel panel)
{
    switch (panel) {
    case Panel::StarOptions:
    case Panel::VignettingOptions: return txt::Options;
    case Panel::Composition: return txt::Composition;
    case Panel::ComputingOptions: return txt::ComputingOptions;
    case Panel::EffectOptions: return txt::EffectOptions;
    case Panel::SkyRegion: return txt::SkyRegion;
    case Panel::ReducePollution: return txt::ReduceLightPollution;
    case Panel::EnhanceStars: return txt::EnhanceStarLight;
    case Panel::Distortion: return txt::ReduceDistorEffects;
    case Panel::TimeLapse: break;
    }
    return txt::TimeLapse;
}

bool panelEnabled(Panel panel, const OptionContext& c)
{
    const RunSettings& s = c.settings;
    switch (panel) {
    case Panel::StarOptions: return !c.files.list(Category::Star).empty();
    case Panel::VignettingOptions: return !c.files.list(Category::Vignetting).empty();
    case Panel::ReducePollution: return s.reducePollution;
    case Panel::EnhanceStars: return s.enhanceStars;
    case Panel::Distortion: return s.distortionCorrection != 0;
    case Panel::TimeLapse: return s.timeLapseApplies();
    default: return true;
    }
}

ControlState controlState(int control, const OptionContext& c)
{
    const RunSettings& s = c.settings;
    switch (control) {
    case ctl::UnifyExposure: return checked(s.unifyExposure);
    case ctl::Homogenize: return checked(s.homogenizeVignetting);
    case ctl::AlignStars: return checked(alignStars(s));
    case ctl::Trails: return checked(!alignStars(s));
    case ctl::Accumulation:
    case ctl::SelectBestPixels:
    case ctl::FreezeGround:
    case ctl::AlignOnly: {
        const int mode = s.integrationMode >= 1 && s.integrationMode <= 3 ? s.integrationMode : 0;
        return checked(control - ctl::Accumulation == mode);
    }
    case ctl::Sigma: return ControlState{s.integrationMode == 1, true, slider(s.sigmaIndex)};
    case ctl::Selective: return checked(s.freezeGroundSelective, s.integrationMode == 2);
    case ctl::Linear: return checked(s.dumpAsLinear, s.integrationMode == 3);
    case ctl::MotionEffect: return checked(s.trailsMotionEffect);
    case ctl::DeepSky: return checked(s.reducePollutionMode == 0);
    case ctl::Uneven: return checked(s.reducePollutionMode != 0);
    case ctl::PollutionStrength: return ControlState{true, true, slider(s.reducePollutionStrength)};
    case ctl::Aggressive: {
        const bool available = aggressiveAvailable(c);
        return checked(available && s.aggressiveSuppression, available);
    }
    case ctl::EnhanceStrength: return ControlState{true, true, slider(s.enhanceStarsStrength)};
    case ctl::Tele: return checked(s.distortionCorrection == 1);
    case ctl::Complex: return checked(s.distortionCorrection == 2);
    case ctl::BoundaryLine: return checked(c.sky.tool == SkyTool::BoundaryLine);
    case ctl::Gradient: return checked(c.sky.tool == SkyTool::Gradient);
    case ctl::IrregularMask: return checked(c.sky.tool == SkyTool::Brush);
    case ctl::ResetMask: return ControlState{true, c.sky.tool == SkyTool::Brush && c.sky.maskPainted, 0};
    case ctl::AuxiliaryHighlight: return checked(c.sky.highlight, c.sky.tool == SkyTool::Brush);
    // The estimate compares frames: it needs two of them, and one estimate at a time.
    case ctl::EstimateMask:
        return ControlState{c.starFileCount() >= 2 && !c.sky.estimating, c.sky.tool == SkyTool::Brush, 0};
    case ctl::TimeLapseFrames:
        return ControlState{true, true, std::clamp(s.timeLapseFrames, kMinTimeLapseFrames, kMaxTimeLapseFrames)};
    default: return {};
    }
}

Change changeControl(int control, int value, OptionContext& c)
{
    RunSettings& s = c.settings;
    const bool on = value != 0;
    switch (control) {
    case ctl::UnifyExposure: return setFlag(s.unifyExposure, on);
    case ctl::Homogenize: return setFlag(s.homogenizeVignetting, on);
    case ctl::Selective: return setFlag(s.freezeGroundSelective, on);
    // Only the aligned frames' tone changes, which a project saves but a rerun need not redo.
    case ctl::Linear: return setFlag(s.dumpAsLinear, on, Edit::ModifiedOnly);
    case ctl::MotionEffect: return setFlag(s.trailsMotionEffect, on);
    case ctl::Aggressive: return setFlag(s.aggressiveSuppression, on);
    case ctl::Accumulation:
    case ctl::SelectBestPixels:
    case ctl::FreezeGround:
    case ctl::AlignOnly: {
        const int mode = control - ctl::Accumulation;
        return setNumber(s.integrationMode, mode, integrationTip(mode));
    }
    case ctl::Sigma: return setNumber(s.sigmaIndex, slider(value));
    case ctl::PollutionStrength: return setNumber(s.reducePollutionStrength, slider(value));
    case ctl::EnhanceStrength: return setNumber(s.enhanceStarsStrength, slider(value));
    case ctl::Tele: return setNumber(s.distortionCorrection, 1);
    case ctl::Complex: return setNumber(s.distortionCorrection, 2);
    case ctl::AlignStars: return setNumber(s.compositionMode, 0);
    case ctl::Trails: return setNumber(s.compositionMode, 1);
    case ctl::DeepSky: return setNumber(s.reducePollutionMode, 0);
    case ctl::Uneven: return setNumber(s.reducePollutionMode, 1);
    case ctl::TimeLapseFrames:
        return setNumber(s.timeLapseFrames, std::clamp(value, kMinTimeLapseFrames, kMaxTimeLapseFrames));
    case ctl::BoundaryLine: return chooseTool(SkyTool::BoundaryLine, c);
    case ctl::Gradient: return chooseTool(SkyTool::Gradient, c);
    case ctl::IrregularMask: return chooseTool(SkyTool::Brush, c);
    case ctl::AuxiliaryHighlight:
        // Only the preview's look changes.
        if (c.sky.highlight == on)
            return {};
        c.sky.highlight = on;
        return Change{Edit::None, 0, PreviewAction::SetHighlight};
    case ctl::EstimateMask:
        if (c.sky.estimating || c.starFileCount() < 2)
            return {};
        c.sky.estimating = true;
        return Change{Edit::None, txt::EstimatingSkyMask, PreviewAction::EstimateMask};
    case ctl::ResetMask:
        if (!c.sky.maskPainted)
            return {};
        c.sky.maskPainted = false;
        return Change{Edit::Changed, 0, PreviewAction::ClearMask};
    default: return {};
    }
}

int controlLabel(int control)
{
    switch (control) {
    case ctl::ResetMask: return txt::Reset;
    case ctl::EstimateMask: return txt::EstimateMask;
    case ctl::UnifyExposure: return txt::UnifyExposure;
    case ctl::Homogenize: return txt::Homogenize;
    case ctl::Selective: return txt::Selective;
    case ctl::Linear: return txt::Linear;
    case ctl::MotionEffect: return txt::MotionEffect;
    case ctl::Accumulation: return txt::Accumulation;
    case ctl::SelectBestPixels: return txt::SelectBestPixels;
    case ctl::FreezeGround: return txt::FreezeGround;
    case ctl::AlignOnly: return txt::AlignOnly;
    case ctl::Tele: return txt::Tele;
    case ctl::Complex: return txt::Complex;
    case ctl::AlignStars: return txt::AlignStars;
    case ctl::Trails: return txt::Trails;
    case ctl::DeepSky: return txt::DeepSky;
    case ctl::Uneven: return txt::Uneven;
    case ctl::Aggressive: return txt::IntelligentlyAggressive;
    case ctl::BoundaryLine: return txt::BoundaryLine;
    case ctl::Gradient: return txt::Gradient;
    case ctl::IrregularMask: return txt::IrregularMask;
    case ctl::AuxiliaryHighlight: return txt::AuxiliaryHighlight;
    default: return 0;
    }
}

int controlTooltip(int control)
{
    switch (control) {
    case ctl::UnifyExposure: return txt::UnifyExposureTip;
    case ctl::Homogenize: return txt::HomogenizeTip;
    case ctl::Accumulation: return txt::AccumulationTip;
    case ctl::SelectBestPixels: return txt::SelectBestTip;
    case ctl::FreezeGround: return txt::FreezeGroundTip;
    case ctl::Selective: return txt::SelectiveTip;
    case ctl::AlignOnly: return txt::AlignOnlyTip;
    case ctl::Linear: return txt::LinearTip;
    case ctl::BoundaryLine: return txt::BoundaryLineTip;
    case ctl::Gradient: return txt::GradientTip;
    case ctl::IrregularMask: return txt::IrregularMaskTip;
    case ctl::EstimateMask: return txt::EstimateMaskTip;
    case ctl::Aggressive: return txt::AggressiveTip;
    case ctl::Tele: return txt::TeleTip;
    case ctl::Complex: return txt::ComplexTip;
    default: return 0;
    }
}

std::string sigmaTooltip(int sigmaIndex)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(sigmaForIndex(sigmaIndex)));
    return text;
}

SpinColour timeLapseColour(const OptionContext& c)
{
    if (!c.settings.timeLapseApplies())
        return SpinColour::GreyText;
    const size_t frames = static_cast<size_t>(std::max(c.settings.timeLapseFrames, 0));
    return frames + 1 >= c.starFileCount() ? SpinColour::Red : SpinColour::WindowText;
}

int noteText(const Selection& selection, const SkyRegionState& sky)
{
    if (!selection.item)
        return 0;
    if (*selection.item == ParamItem::ColorSpace)
        return txt::RightClickForMenu;
    if (*selection.item == ParamItem::SkyRegion)
        return sky.tool == SkyTool::Brush ? txt::FillSkyWithBrush : txt::DragToAssign;
    return 0;
}

}  // namespace velapp
