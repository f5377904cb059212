#pragma once

#include <optional>
#include <string>
#include <vector>

#include "OptionContext.h"

// The parameter tree without its widget: the items' labels and icons, their context menus and
// double-click commands, and what each command changes. UI thread only.
namespace velapp {

inline constexpr ParamItem kTopLevelItems[] = {
    ParamItem::SkyRegion,   ParamItem::Composition,      ParamItem::AutoBrightness, ParamItem::HighDynamicRange,
    ParamItem::RemoveHotPixels, ParamItem::MergePixels, ParamItem::ReducePollution, ParamItem::EnhanceStars,
    ParamItem::Distortion,  ParamItem::TimeLapse,        ParamItem::ColorSpace,
};

// Command identifiers of the tree's double-clicks and context menus.
namespace cmd {
enum : int {
    AlignStars = 27,
    Trails = 28,
    ToggleAutoBrightness = 29,
    ToggleHdr = 30,
    ToggleRemoveHotPixels = 31,
    ToggleMergePixels = 32,
    ToggleReducePollution = 33,
    ToggleEnhanceStars = 34,
    DistortionOff = 35,
    DistortionTele = 36,
    DistortionComplex = 37,
    ResetSkyRegion = 38,
    ToggleTimeLapse = 39,
    ColorSrgb = 40,
    ColorAdobeRgb = 41,
    ColorLinear = 42,
};
inline constexpr int kFirst = AlignStars;
inline constexpr int kLast = ColorLinear;
}  // namespace cmd

// The state an icon signals; Plain is the item's or category's ordinary icon.
enum class ItemIcon { Plain, On, Warning, Missing };

struct MenuEntry {
    int command;
    int text;
    bool checkable;  // shown with a check mark when `checked`
    bool checked;
};

// "Integration" exists as the child of "Composition" only with "Align stars".
bool hasIntegrationItem(const RunSettings& settings);

int itemNameText(ParamItem item);
int itemValueText(ParamItem item, const OptionContext& context);
// Name, ": " and value in the current language (UTF-8).
std::string itemLabel(ParamItem item, const OptionContext& context);

ItemIcon itemIcon(ParamItem item, const OptionContext& context);
ItemIcon categoryIcon(Category category, const OptionContext& context);

std::vector<MenuEntry> contextMenu(ParamItem item, const OptionContext& context);
std::optional<int> doubleClickCommand(ParamItem item, const RunSettings& settings);
Change runCommand(int command, OptionContext& context);

// Status-bar help of a selected item (the integration child shows its mode's explanation).
int itemHelpText(ParamItem item, const RunSettings& settings);
// Explanation of an integration mode, its radio button's tooltip.
int integrationTip(int mode);

}  // namespace velapp
