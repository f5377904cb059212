#include "ParameterTree.h"

#include <algorithm>
#include <cwctype>

#include "TextIds.h"
#include "TextTable.h"

namespace velapp {

namespace {

bool alignStars(const RunSettings& s) { return s.compositionMode != 1; }

bool hasExtension(const std::optional<std::wstring>& path, std::initializer_list<const wchar_t*> endings)
{
    if (!path)
        return false;
    std::wstring lower = *path;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](wchar_t c) { return std::towlower(c); });
    return std::any_of(endings.begin(), endings.end(), [&](const wchar_t* ending) {
        const std::wstring_view end(ending);
        return lower.size() >= end.size() && lower.compare(lower.size() - end.size(), end.size(), end) == 0;
    });
}

bool isJpeg(const std::optional<std::wstring>& path) { return hasExtension(path, {L".jpg", L".jpeg"}); }

// A base that is a camera RAW file (neither JPEG nor TIFF) profits from calibration.
bool rawBase(const FileTreeModel& files)
{
    return files.base() && !hasExtension(files.base(), {L".jpg", L".jpeg", L".tif", L".tiff"});
}

// Stacked accumulation that tends to over-expose unless brightness or range is adjusted.
bool exposureAtRisk(const OptionContext& c)
{
    const RunSettings& s = c.settings;
    return alignStars(s) && (s.integrationMode == 0 || s.mergePixels) && c.starFileCount() >= 2;
}

bool* toggledFlag(int command, RunSettings& s)
{
    switch (command) {
    case cmd::ToggleAutoBrightness: return &s.autoBrightness;
    case cmd::ToggleHdr: return &s.hdr;
    case cmd::ToggleRemoveHotPixels: return &s.removeHotPixels;
    case cmd::ToggleMergePixels: return &s.mergePixels;
    case cmd::ToggleReducePollution: return &s.reducePollution;
    case cmd::ToggleEnhanceStars: return &s.enhanceStars;
    case cmd::ToggleTimeLapse: return &s.timeLapse;
    default: return nullptr;
    }
}

std::optional<int> toggleCommand(ParamItem item)
{
    switch (item) {
    case ParamItem::AutoBrightness: return cmd::ToggleAutoBrightness;
    case ParamItem::HighDynamicRange: return cmd::ToggleHdr;
    case ParamItem::RemoveHotPixels: return cmd::ToggleRemoveHotPixels;
    case ParamItem::MergePixels: return cmd::ToggleMergePixels;
    case ParamItem::ReducePollution: return cmd::ToggleReducePollution;
    case ParamItem::EnhanceStars: return cmd::ToggleEnhanceStars;
    case ParamItem::TimeLapse: return cmd::ToggleTimeLapse;
    default: return std::nullopt;
    }
}

bool toggleIsOn(ParamItem item, const RunSettings& s)
{
    switch (item) {
    case ParamItem::AutoBrightness: return s.autoBrightness;
    case ParamItem::HighDynamicRange: return s.hdr;
    case ParamItem::RemoveHotPixels: return s.removeHotPixels;
    case ParamItem::MergePixels: return s.mergePixels;
    case ParamItem::ReducePollution: return s.reducePollution;
    case ParamItem::EnhanceStars: return s.enhanceStars;
    case ParamItem::TimeLapse: return s.timeLapse;
    default: return false;
    }
}

Change setValue(int32_t& field, int32_t value)
{
    if (field == value)
        return {};
    field = value;
    return Change{Edit::Changed};
}

// Time-lapse windows need a per-pixel mode that rejects what moves between windows.
int switchToSelective(RunSettings& s)
{
    if (!alignStars(s))
        return 0;
    if (s.integrationMode == 0) {
        s.integrationMode = 1;
        return txt::ChangedToSelectiveMode;
    }
    if (s.integrationMode == 2 && !s.freezeGroundSelective) {
        s.freezeGroundSelective = true;
        return txt::ChangedToSelectiveMode;
    }
    return 0;
}

// A painted mask makes the foreground analysis of "Uneven" worthwhile, except for plain stacks of
// star images where only the sky counts.
void switchAggressiveOn(OptionContext& c)
{
    RunSettings& s = c.settings;
    if (s.reducePollutionMode != 1 || c.sky.tool != SkyTool::Brush || !c.sky.maskPainted)
        return;
    if (alignStars(s) && s.integrationMode != 2 && c.starFileCount() > 0)
        return;
    s.aggressiveSuppression = true;
}

}  // namespace

bool hasIntegrationItem(const RunSettings& settings) { return alignStars(settings); }

int integrationTip(int mode)
{
    switch (mode) {
    case 1: return txt::SelectBestTip;
    case 2: return txt::FreezeGroundTip;
    case 3: return txt::AlignOnlyTip;
    default: return txt::AccumulationTip;
    }
}

int itemNameText(ParamItem item)
{
    switch (item) {
    case ParamItem::SkyRegion: return txt::SkyRegion;
    case ParamItem::Composition: return txt::Composition;
    case ParamItem::Integration: return txt::ComputingOptions;
    case ParamItem::AutoBrightness: return txt::AutoBrightness;
    case ParamItem::HighDynamicRange: return txt::HighDynamicRange;
    case ParamItem::RemoveHotPixels: return txt::RemoveDynamicNoises;
    case ParamItem::MergePixels: return txt::Merge4Pixels;
    case ParamItem::ReducePollution: return txt::ReduceLightPollution;
    case ParamItem::EnhanceStars: return txt::EnhanceStarLight;
    case ParamItem::Distortion: return txt::ReduceDistorEffects;
    case ParamItem::TimeLapse: return txt::TimeLapse;
    case ParamItem::ColorSpace: break;
    }
    return txt::ColorSpace;
}

int itemValueText(ParamItem item, const OptionContext& c)
{
    const RunSettings& s = c.settings;
    switch (item) {
    case ParamItem::SkyRegion: return usableSkyRegion(c.sky, s) ? txt::Partial : txt::FullArea;
    case ParamItem::Composition: return alignStars(s) ? txt::AlignStars : txt::Trails;
    case ParamItem::Integration: {
        constexpr int names[] = {txt::Accumulation, txt::SelectBestPixels, txt::FreezeGround, txt::AlignOnly};
        return s.integrationMode >= 0 && s.integrationMode <= 3 ? names[s.integrationMode] : txt::Accumulation;
    }
    case ParamItem::ReducePollution:
        if (!s.reducePollution)
            return txt::Off;
        return s.reducePollutionMode == 0 ? txt::DeepSky : txt::Uneven;
    case ParamItem::Distortion:
        if (alignStars(s) && s.integrationMode == 2)
            return txt::Auto;  // freezing the ground measures its own distortion
        if (s.distortionCorrection == 0)
            return txt::Off;
        if (!alignStars(s))
            return txt::NoEffect;
        return s.distortionCorrection == 1 ? txt::Tele : txt::Complex;
    case ParamItem::TimeLapse:
        if (!s.timeLapse)
            return txt::Off;
        return s.timeLapseApplies() ? txt::On : txt::NotApplicable;
    case ParamItem::ColorSpace:
        if (s.colorSpace == 1)
            return txt::AdobeRgb;
        return s.colorSpace == 2 ? txt::Linear : txt::Srgb;
    default: return toggleIsOn(item, s) ? txt::On : txt::Off;
    }
}

std::string itemLabel(ParamItem item, const OptionContext& context)
{
    if (item == ParamItem::Integration)
        return text(itemValueText(item, context));
    return text(itemNameText(item)) + text(txt::Colon) + text(itemValueText(item, context));
}

ItemIcon itemIcon(ParamItem item, const OptionContext& c)
{
    const RunSettings& s = c.settings;
    switch (item) {
    case ParamItem::SkyRegion: return usableSkyRegion(c.sky, s) ? ItemIcon::On : ItemIcon::Plain;
    case ParamItem::Composition:
    case ParamItem::Integration:
    case ParamItem::ColorSpace: return ItemIcon::Plain;
    case ParamItem::AutoBrightness:
        if (s.autoBrightness)
            return ItemIcon::On;
        return exposureAtRisk(c) && !s.hdr && isJpeg(c.files.output()) ? ItemIcon::Warning : ItemIcon::Plain;
    case ParamItem::HighDynamicRange:
        if (s.hdr)
            return ItemIcon::On;
        return exposureAtRisk(c) && !s.autoBrightness && c.files.output() && !isJpeg(c.files.output())
                   ? ItemIcon::Warning
                   : ItemIcon::Plain;
    case ParamItem::RemoveHotPixels:
        if (s.removeHotPixels)
            return ItemIcon::On;
        return alignStars(s) && c.files.list(Category::Noise).empty() && rawBase(c.files) ? ItemIcon::Warning
                                                                                          : ItemIcon::Plain;
    case ParamItem::Distortion: return s.distortionCorrection != 0 ? ItemIcon::On : ItemIcon::Plain;
    default: return toggleIsOn(item, s) ? ItemIcon::On : ItemIcon::Plain;
    }
}

ItemIcon categoryIcon(Category category, const OptionContext& c)
{
    const RunSettings& s = c.settings;
    switch (category) {
    case Category::Output: return c.files.output() ? ItemIcon::Plain : ItemIcon::Missing;
    case Category::Star:
        return alignStars(s) && (s.integrationMode == 1 || s.integrationMode == 2) && c.starFileCount() <= 3
                   ? ItemIcon::Warning
                   : ItemIcon::Plain;
    case Category::Vignetting:
        return c.files.list(Category::Vignetting).empty() && s.reducePollution && rawBase(c.files) ? ItemIcon::Warning
                                                                                                    : ItemIcon::Plain;
    default: return ItemIcon::Plain;
    }
}

std::vector<MenuEntry> contextMenu(ParamItem item, const OptionContext& c)
{
    const RunSettings& s = c.settings;
    switch (item) {
    case ParamItem::SkyRegion: return {{cmd::ResetSkyRegion, txt::Reset, false, false}};
    case ParamItem::Composition:
        return {{cmd::AlignStars, txt::AlignStars, true, alignStars(s)},
                {cmd::Trails, txt::Trails, true, !alignStars(s)}};
    case ParamItem::Integration: return {};
    case ParamItem::Distortion:
        return {{cmd::DistortionOff, txt::Off, true, s.distortionCorrection == 0},
                {cmd::DistortionTele, txt::Tele, true, s.distortionCorrection == 1},
                {cmd::DistortionComplex, txt::Complex, true, s.distortionCorrection == 2}};
    case ParamItem::ColorSpace:
        return {{cmd::ColorSrgb, txt::Srgb, true, s.colorSpace != 1 && s.colorSpace != 2},
                {cmd::ColorAdobeRgb, txt::AdobeRgb, true, s.colorSpace == 1},
                {cmd::ColorLinear, txt::Linear, true, s.colorSpace == 2}};
    default: return {{*toggleCommand(item), itemNameText(item), true, toggleIsOn(item, s)}};
    }
}

std::optional<int> doubleClickCommand(ParamItem item, const RunSettings& s)
{
    switch (item) {
    case ParamItem::Composition: return alignStars(s) ? cmd::Trails : cmd::AlignStars;
    case ParamItem::Distortion:
        // Off -> Complex -> Tele -> Off
        if (s.distortionCorrection == 0)
            return cmd::DistortionComplex;
        return s.distortionCorrection == 2 ? cmd::DistortionTele : cmd::DistortionOff;
    case ParamItem::SkyRegion:
    case ParamItem::Integration:
    case ParamItem::ColorSpace: return std::nullopt;
    default: return toggleCommand(item);
    }
}

Change runCommand(int command, OptionContext& c)
{
    RunSettings& s = c.settings;
    if (bool* flag = toggledFlag(command, s)) {
        *flag = !*flag;
        Change change{Edit::Changed};
        if (command == cmd::ToggleTimeLapse && s.timeLapse)
            change.statusText = switchToSelective(s);
        if (command == cmd::ToggleReducePollution && s.reducePollution)
            switchAggressiveOn(c);
        return change;
    }
    switch (command) {
    case cmd::AlignStars: return setValue(s.compositionMode, 0);
    case cmd::Trails: return setValue(s.compositionMode, 1);
    case cmd::DistortionOff: return setValue(s.distortionCorrection, 0);
    case cmd::DistortionTele: return setValue(s.distortionCorrection, 1);
    case cmd::DistortionComplex: return setValue(s.distortionCorrection, 2);
    case cmd::ColorSrgb: return setValue(s.colorSpace, 0);
    case cmd::ColorAdobeRgb: return setValue(s.colorSpace, 1);
    case cmd::ColorLinear: return setValue(s.colorSpace, 2);
    case cmd::ResetSkyRegion:
        s.starBound = {};
        s.gradient = {};
        c.sky.maskPainted = false;
        return Change{Edit::Changed, 0, PreviewAction::ClearShapes};
    default: return {};
    }
}

int itemHelpText(ParamItem item, const RunSettings& settings)
{
    switch (item) {
    case ParamItem::SkyRegion: return txt::SkyRegionHelp;
    case ParamItem::Composition: return txt::CompositionHelp;
    case ParamItem::Integration: return integrationTip(settings.integrationMode);
    case ParamItem::AutoBrightness: return txt::AutoBrightnessHelp;
    case ParamItem::HighDynamicRange: return txt::HdrHelp;
    case ParamItem::RemoveHotPixels: return txt::HotPixelsHelp;
    case ParamItem::MergePixels: return txt::MergePixelsHelp;
    case ParamItem::ReducePollution: return txt::PollutionHelp;
    case ParamItem::EnhanceStars: return txt::EnhanceStarsHelp;
    case ParamItem::Distortion: return txt::DistortionHelp;
    case ParamItem::TimeLapse: return txt::TimeLapseHelp;
    case ParamItem::ColorSpace: break;
    }
    return txt::ColorSpaceHelp;
}

}  // namespace velapp
