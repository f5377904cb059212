#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OptionFixture.h"
#include "ParameterTree.h"
#include "TextIds.h"

using namespace velapp;

namespace {

using ParameterTree = OptionTest;

std::string value(ParamItem item, const OptionContext& context) { return text(itemValueText(item, context)); }

}  // namespace

TEST_F(ParameterTree, NewProjectLabelsInTreeOrder)
{
    std::vector<std::string> labels;
    for (ParamItem item : kTopLevelItems)
        labels.push_back(itemLabel(item, context));
    const std::vector<std::string> expected = {
        "Sky region: Full area",     "Composition: Align stars",     "Auto brightness: Off",
        "High dynamic range: Off",   "Remove dynamic noises: Off",   "Merge 4 pixels: Off",
        "Reduce light pollution: Off", "Enhance star light: Off",    "Reduce distor. effects: Off",
        "Time-lapse: Off",           "Color space: sRGB",
    };
    EXPECT_EQ(labels, expected);
    EXPECT_TRUE(hasIntegrationItem(settings));
    EXPECT_EQ(itemLabel(ParamItem::Integration, context), "Accumulation");
    settings.compositionMode = 1;
    EXPECT_FALSE(hasIntegrationItem(settings));
}

TEST_F(ParameterTree, DistortionShowsNoEffectForTrailsAndAutoForFreezeGround)
{
    settings.distortionCorrection = 1;
    EXPECT_EQ(value(ParamItem::Distortion, context), "Tele");
    settings.compositionMode = 1;
    EXPECT_EQ(value(ParamItem::Distortion, context), "No effect");
    settings.distortionCorrection = 0;
    EXPECT_EQ(value(ParamItem::Distortion, context), "Off");
    settings.compositionMode = 0;
    settings.integrationMode = 2;
    EXPECT_EQ(value(ParamItem::Distortion, context), "Auto");
}

TEST_F(ParameterTree, TimeLapseShowsNotApplicableWhereEveryFrameIsItsOwnOutput)
{
    settings.timeLapse = true;
    EXPECT_EQ(value(ParamItem::TimeLapse, context), "On");
    settings.integrationMode = 3;
    EXPECT_EQ(value(ParamItem::TimeLapse, context), "N/A");
    settings.compositionMode = 1;
    EXPECT_EQ(value(ParamItem::TimeLapse, context), "N/A");
    settings.trailsMotionEffect = true;
    EXPECT_EQ(value(ParamItem::TimeLapse, context), "On");
}

TEST_F(ParameterTree, DoubleClicksStepDistortionOffComplexTeleAndToggleTheRest)
{
    std::vector<std::string> seen;
    for (int i = 0; i < 3; ++i) {
        runCommand(*doubleClickCommand(ParamItem::Distortion, settings), context);
        seen.push_back(value(ParamItem::Distortion, context));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Complex", "Tele", "Off"}));

    runCommand(*doubleClickCommand(ParamItem::Composition, settings), context);
    EXPECT_EQ(settings.compositionMode, 1);
    runCommand(*doubleClickCommand(ParamItem::Composition, settings), context);
    EXPECT_EQ(settings.compositionMode, 0);
    for (ParamItem item : {ParamItem::SkyRegion, ParamItem::Integration, ParamItem::ColorSpace})
        EXPECT_FALSE(doubleClickCommand(item, settings).has_value());
}

TEST_F(ParameterTree, EveryCommandWritesItsSettingAndCountsAsAnEdit)
{
    struct Case {
        int command;
        bool RunSettings::*flag;
    };
    const Case toggles[] = {{cmd::ToggleAutoBrightness, &RunSettings::autoBrightness},
                            {cmd::ToggleHdr, &RunSettings::hdr},
                            {cmd::ToggleRemoveHotPixels, &RunSettings::removeHotPixels},
                            {cmd::ToggleMergePixels, &RunSettings::mergePixels},
                            {cmd::ToggleReducePollution, &RunSettings::reducePollution},
                            {cmd::ToggleEnhanceStars, &RunSettings::enhanceStars},
                            {cmd::ToggleTimeLapse, &RunSettings::timeLapse}};
    for (const Case& c : toggles) {
        EXPECT_EQ(runCommand(c.command, context).edit, Edit::Changed) << c.command;
        EXPECT_TRUE(settings.*c.flag) << c.command;
        runCommand(c.command, context);
        EXPECT_FALSE(settings.*c.flag) << c.command;
    }
    const std::pair<int, int32_t RunSettings::*> choices[] = {
        {cmd::Trails, &RunSettings::compositionMode},         {cmd::DistortionTele, &RunSettings::distortionCorrection},
        {cmd::DistortionComplex, &RunSettings::distortionCorrection}, {cmd::ColorAdobeRgb, &RunSettings::colorSpace},
        {cmd::ColorLinear, &RunSettings::colorSpace}};
    const int32_t expected[] = {1, 1, 2, 1, 2};
    for (size_t i = 0; i < std::size(choices); ++i) {
        EXPECT_EQ(runCommand(choices[i].first, context).edit, Edit::Changed);
        EXPECT_EQ(settings.*choices[i].second, expected[i]) << choices[i].first;
        // Choosing the value already set is no edit.
        EXPECT_EQ(runCommand(choices[i].first, context).edit, Edit::None);
    }
    runCommand(cmd::AlignStars, context);
    runCommand(cmd::DistortionOff, context);
    runCommand(cmd::ColorSrgb, context);
    EXPECT_EQ(settings.compositionMode, 0);
    EXPECT_EQ(settings.distortionCorrection, 0);
    EXPECT_EQ(settings.colorSpace, 0);
}

TEST_F(ParameterTree, TimeLapseOnSwitchesStackingToSelectiveModes)
{
    Change change = runCommand(cmd::ToggleTimeLapse, context);
    EXPECT_EQ(settings.integrationMode, 1);
    EXPECT_EQ(change.statusText, txt::ChangedToSelectiveMode);

    settings = RunSettings();
    settings.integrationMode = 2;
    settings.freezeGroundSelective = false;
    change = runCommand(cmd::ToggleTimeLapse, context);
    EXPECT_TRUE(settings.freezeGroundSelective);
    EXPECT_EQ(change.statusText, txt::ChangedToSelectiveMode);
    // Turning it off again changes nothing else; trails keep their mode.
    change = runCommand(cmd::ToggleTimeLapse, context);
    EXPECT_EQ(change.statusText, 0);
    settings = RunSettings();
    settings.compositionMode = 1;
    change = runCommand(cmd::ToggleTimeLapse, context);
    EXPECT_EQ(settings.integrationMode, 0);
    EXPECT_EQ(change.statusText, 0);
}

TEST_F(ParameterTree, UnevenPollutionWithPaintedMaskSwitchesAggressiveAnalysisOn)
{
    sky.maskPainted = true;
    settings.integrationMode = 2;
    runCommand(cmd::ToggleReducePollution, context);
    EXPECT_TRUE(settings.aggressiveSuppression);

    // Not for a plain stack of star images, nor for "Deep sky", nor for another tool.
    settings = RunSettings();
    addStars(2);
    runCommand(cmd::ToggleReducePollution, context);
    EXPECT_FALSE(settings.aggressiveSuppression);
    settings = RunSettings();
    settings.integrationMode = 2;
    settings.reducePollutionMode = 0;
    runCommand(cmd::ToggleReducePollution, context);
    EXPECT_FALSE(settings.aggressiveSuppression);
    settings.reducePollution = false;
    settings.reducePollutionMode = 1;
    sky.tool = SkyTool::Gradient;
    runCommand(cmd::ToggleReducePollution, context);
    EXPECT_FALSE(settings.aggressiveSuppression);
}

TEST_F(ParameterTree, ResetClearsEverySkyShape)
{
    settings.starBound = {0, 0.5f, 1, 0.5f};
    settings.gradient = {0, 0.5f, 1, 0.5f, 0.2f};
    sky.maskPainted = true;
    const Change change = runCommand(cmd::ResetSkyRegion, context);
    EXPECT_EQ(change.preview, PreviewAction::ClearShapes);
    EXPECT_FALSE(settings.starBoundSet());
    EXPECT_FALSE(settings.gradientSet());
    EXPECT_FALSE(sky.maskPainted);
    EXPECT_EQ(value(ParamItem::SkyRegion, context), "Full area");
}

TEST_F(ParameterTree, IconsWarnAboutRiskySetups)
{
    EXPECT_EQ(categoryIcon(Category::Output, context), ItemIcon::Missing);
    files.setOutput(L"/n/out.JPG");
    EXPECT_EQ(categoryIcon(Category::Output, context), ItemIcon::Plain);

    addStars(3);
    settings.integrationMode = 1;
    EXPECT_EQ(categoryIcon(Category::Star, context), ItemIcon::Warning);
    addStars(1);
    EXPECT_EQ(categoryIcon(Category::Star, context), ItemIcon::Plain);

    settings.integrationMode = 0;
    EXPECT_EQ(itemIcon(ParamItem::AutoBrightness, context), ItemIcon::Warning);
    EXPECT_EQ(itemIcon(ParamItem::HighDynamicRange, context), ItemIcon::Plain);
    files.setOutput(L"/n/out.tif");
    EXPECT_EQ(itemIcon(ParamItem::AutoBrightness, context), ItemIcon::Plain);
    EXPECT_EQ(itemIcon(ParamItem::HighDynamicRange, context), ItemIcon::Warning);
    settings.autoBrightness = true;
    EXPECT_EQ(itemIcon(ParamItem::AutoBrightness, context), ItemIcon::On);
    EXPECT_EQ(itemIcon(ParamItem::HighDynamicRange, context), ItemIcon::Plain);

    // A RAW base without calibration frames.
    files.setBase(L"/n/base.cr2");
    EXPECT_EQ(itemIcon(ParamItem::RemoveHotPixels, context), ItemIcon::Warning);
    EXPECT_EQ(categoryIcon(Category::Vignetting, context), ItemIcon::Plain);
    settings.reducePollution = true;
    EXPECT_EQ(categoryIcon(Category::Vignetting, context), ItemIcon::Warning);
    files.setBase(L"/n/base.tiff");
    EXPECT_EQ(itemIcon(ParamItem::RemoveHotPixels, context), ItemIcon::Plain);
    EXPECT_EQ(categoryIcon(Category::Vignetting, context), ItemIcon::Plain);
}

TEST_F(ParameterTree, MenusMarkTheCurrentChoice)
{
    settings.colorSpace = 1;
    const std::vector<MenuEntry> menu = contextMenu(ParamItem::ColorSpace, context);
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[1].command, cmd::ColorAdobeRgb);
    EXPECT_TRUE(menu[1].checked);
    EXPECT_FALSE(menu[0].checked);
    EXPECT_EQ(contextMenu(ParamItem::SkyRegion, context).front().command, cmd::ResetSkyRegion);
    EXPECT_EQ(contextMenu(ParamItem::TimeLapse, context).front().command, cmd::ToggleTimeLapse);
}

TEST_F(ParameterTree, IntegrationItemExplainsItsMode)
{
    EXPECT_EQ(itemHelpText(ParamItem::Integration, settings), txt::AccumulationTip);
    settings.integrationMode = 2;
    EXPECT_EQ(itemHelpText(ParamItem::Integration, settings), txt::FreezeGroundTip);
    EXPECT_EQ(itemHelpText(ParamItem::Composition, settings), txt::CompositionHelp);
}
