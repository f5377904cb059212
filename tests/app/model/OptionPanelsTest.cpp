#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "EngineSetup.h"
#include "OptionFixture.h"
#include "OptionPanels.h"
#include "ParameterTree.h"
#include "TextIds.h"
#include "support/RecordingEngine.h"

using namespace velapp;

namespace {

using OptionPanels = OptionTest;

Selection item(ParamItem i) { return Selection{i, std::nullopt}; }
Selection category(Category c) { return Selection{std::nullopt, c}; }

}  // namespace

TEST_F(OptionPanels, SelectionShowsItsPanels)
{
    EXPECT_EQ(panelsFor(category(Category::Star), settings), std::vector<Panel>{Panel::StarOptions});
    EXPECT_EQ(panelsFor(category(Category::Vignetting), settings), std::vector<Panel>{Panel::VignettingOptions});
    EXPECT_TRUE(panelsFor(category(Category::Output), settings).empty());
    EXPECT_EQ(panelsFor(item(ParamItem::Integration), settings),
              (std::vector<Panel>{Panel::Composition, Panel::ComputingOptions}));
    settings.compositionMode = 1;
    EXPECT_EQ(panelsFor(item(ParamItem::Composition), settings),
              (std::vector<Panel>{Panel::Composition, Panel::EffectOptions}));
    for (ParamItem none : {ParamItem::AutoBrightness, ParamItem::HighDynamicRange, ParamItem::RemoveHotPixels,
                           ParamItem::MergePixels, ParamItem::ColorSpace})
        EXPECT_TRUE(panelsFor(item(none), settings).empty());
    EXPECT_EQ(panelsFor(item(ParamItem::TimeLapse), settings), std::vector<Panel>{Panel::TimeLapse});
}

TEST_F(OptionPanels, PanelsAreEnabledOnlyWhileTheirOptionIsOn)
{
    for (Panel panel : {Panel::StarOptions, Panel::VignettingOptions, Panel::ReducePollution, Panel::EnhanceStars,
                        Panel::Distortion, Panel::TimeLapse})
        EXPECT_FALSE(panelEnabled(panel, context)) << static_cast<int>(panel);
    addStars(1);
    files.list(Category::Vignetting).add(L"/n/flat.tif", 0);
    settings.reducePollution = settings.enhanceStars = settings.timeLapse = true;
    settings.distortionCorrection = 1;
    for (Panel panel : {Panel::StarOptions, Panel::VignettingOptions, Panel::ReducePollution, Panel::EnhanceStars,
                        Panel::Distortion, Panel::TimeLapse})
        EXPECT_TRUE(panelEnabled(panel, context)) << static_cast<int>(panel);
    settings.integrationMode = 3;  // time-lapse does not apply to aligned frames
    EXPECT_FALSE(panelEnabled(Panel::TimeLapse, context));
}

TEST_F(OptionPanels, EveryControlWritesItsSetting)
{
    struct Case {
        int control;
        int value;
        std::function<bool(const RunSettings&)> holds;
    };
    const std::vector<Case> cases = {
        {ctl::UnifyExposure, 1, [](const RunSettings& s) { return s.unifyExposure; }},
        {ctl::Homogenize, 1, [](const RunSettings& s) { return s.homogenizeVignetting; }},
        {ctl::Selective, 0, [](const RunSettings& s) { return !s.freezeGroundSelective; }},
        {ctl::MotionEffect, 1, [](const RunSettings& s) { return s.trailsMotionEffect; }},
        {ctl::Aggressive, 1, [](const RunSettings& s) { return s.aggressiveSuppression; }},
        {ctl::SelectBestPixels, 0, [](const RunSettings& s) { return s.integrationMode == 1; }},
        {ctl::FreezeGround, 0, [](const RunSettings& s) { return s.integrationMode == 2; }},
        {ctl::AlignOnly, 0, [](const RunSettings& s) { return s.integrationMode == 3; }},
        {ctl::Accumulation, 0, [](const RunSettings& s) { return s.integrationMode == 0; }},
        {ctl::Sigma, 4, [](const RunSettings& s) { return s.sigmaIndex == 4; }},
        {ctl::Sigma, 9, [](const RunSettings& s) { return s.sigmaIndex == 4; }},
        {ctl::PollutionStrength, 0, [](const RunSettings& s) { return s.reducePollutionStrength == 0; }},
        {ctl::EnhanceStrength, 1, [](const RunSettings& s) { return s.enhanceStarsStrength == 1; }},
        {ctl::Complex, 0, [](const RunSettings& s) { return s.distortionCorrection == 2; }},
        {ctl::Tele, 0, [](const RunSettings& s) { return s.distortionCorrection == 1; }},
        {ctl::Trails, 0, [](const RunSettings& s) { return s.compositionMode == 1; }},
        {ctl::AlignStars, 0, [](const RunSettings& s) { return s.compositionMode == 0; }},
        {ctl::DeepSky, 0, [](const RunSettings& s) { return s.reducePollutionMode == 0; }},
        {ctl::Uneven, 0, [](const RunSettings& s) { return s.reducePollutionMode == 1; }},
        {ctl::TimeLapseFrames, 12, [](const RunSettings& s) { return s.timeLapseFrames == 12; }},
        {ctl::TimeLapseFrames, 1, [](const RunSettings& s) { return s.timeLapseFrames == 2; }},
    };
    for (const Case& c : cases) {
        const Change change = changeControl(c.control, c.value, context);
        EXPECT_TRUE(c.holds(settings)) << c.control << " " << c.value;
        EXPECT_NE(change.edit, Edit::ModifiedOnly) << c.control;
    }
    // The panels show what was stored.
    EXPECT_EQ(controlState(ctl::Accumulation, context).value, 1);
    EXPECT_EQ(controlState(ctl::AlignOnly, context).value, 0);
    EXPECT_EQ(controlState(ctl::Sigma, context).value, 4);
    EXPECT_EQ(controlState(ctl::TimeLapseFrames, context).value, 2);
    EXPECT_EQ(changeControl(ctl::Tele, 0, context).edit, Edit::None);  // already chosen
}

TEST_F(OptionPanels, LinearOnlyMarksTheProjectModified)
{
    EXPECT_EQ(changeControl(ctl::Linear, 0, context).edit, Edit::ModifiedOnly);
    EXPECT_FALSE(settings.dumpAsLinear);
}

TEST_F(OptionPanels, IntegrationRadiosExplainTheirModeInTheStatusBar)
{
    EXPECT_EQ(changeControl(ctl::FreezeGround, 0, context).statusText, txt::FreezeGroundTip);
    EXPECT_EQ(changeControl(ctl::AlignOnly, 0, context).statusText, txt::AlignOnlyTip);
    EXPECT_EQ(controlTooltip(ctl::SelectBestPixels), txt::SelectBestTip);
}

TEST_F(OptionPanels, ModeControlsAreEnabledOnlyWithTheirMode)
{
    auto enabled = [&](int control) { return controlState(control, context).enabled; };
    EXPECT_FALSE(enabled(ctl::Sigma) || enabled(ctl::Selective) || enabled(ctl::Linear));
    settings.integrationMode = 1;
    EXPECT_TRUE(enabled(ctl::Sigma));
    settings.integrationMode = 2;
    EXPECT_TRUE(enabled(ctl::Selective));
    EXPECT_FALSE(enabled(ctl::Sigma));
    settings.integrationMode = 3;
    EXPECT_TRUE(enabled(ctl::Linear));
}

TEST_F(OptionPanels, AggressiveAnalysisNeedsUnevenPollutionAndAnAreaRegion)
{
    settings.aggressiveSuppression = true;
    settings.reducePollution = true;
    auto state = [&] { return controlState(ctl::Aggressive, context); };
    EXPECT_FALSE(state().enabled);
    EXPECT_EQ(state().value, 0);  // stored on, but not shown checked without a region
    sky.maskPainted = true;
    EXPECT_TRUE(state().enabled);
    EXPECT_EQ(state().value, 1);
    settings.reducePollutionMode = 0;
    EXPECT_FALSE(state().enabled);
    settings.reducePollutionMode = 1;
    sky.tool = SkyTool::BoundaryLine;
    settings.starBound = {0, 0.5f, 1, 0.5f};
    EXPECT_FALSE(state().enabled);  // a boundary line marks no area
    sky.tool = SkyTool::Gradient;
    settings.gradient = {0, 0.5f, 1, 0.5f, 0.1f};
    EXPECT_TRUE(state().enabled);
}

TEST_F(OptionPanels, SkyToolsDecideResetHighlightAndNote)
{
    EXPECT_EQ(noteText(item(ParamItem::SkyRegion), sky), txt::FillSkyWithBrush);
    EXPECT_FALSE(controlState(ctl::ResetMask, context).shown);
    sky.maskPainted = true;
    EXPECT_TRUE(controlState(ctl::ResetMask, context).shown);
    EXPECT_TRUE(controlState(ctl::AuxiliaryHighlight, context).enabled);

    const Change change = changeControl(ctl::Gradient, 0, context);
    EXPECT_EQ(change.preview, PreviewAction::SelectTool);
    EXPECT_EQ(sky.tool, SkyTool::Gradient);
    EXPECT_FALSE(controlState(ctl::ResetMask, context).shown);
    EXPECT_FALSE(controlState(ctl::AuxiliaryHighlight, context).enabled);
    EXPECT_EQ(noteText(item(ParamItem::SkyRegion), sky), txt::DragToAssign);
    EXPECT_EQ(noteText(item(ParamItem::ColorSpace), sky), txt::RightClickForMenu);
    EXPECT_EQ(noteText(item(ParamItem::Composition), sky), 0);

    changeControl(ctl::IrregularMask, 0, context);
    EXPECT_EQ(changeControl(ctl::ResetMask, 0, context).preview, PreviewAction::ClearMask);
    EXPECT_FALSE(sky.maskPainted);
    EXPECT_EQ(changeControl(ctl::AuxiliaryHighlight, 1, context).edit, Edit::None);
}

TEST_F(OptionPanels, SigmaTooltipFollowsTheSlider)
{
    std::vector<std::string> tips;
    for (int i = 0; i < kSliderPositions; ++i)
        tips.push_back(sigmaTooltip(i));
    EXPECT_EQ(tips, (std::vector<std::string>{"3.3", "2.5", "2.0", "1.7", "1.4"}));
}

TEST_F(OptionPanels, TimeLapseSpinTurnsRedWhenTheWindowReachesTheStarFiles)
{
    EXPECT_EQ(timeLapseColour(context), SpinColour::GreyText);
    settings.timeLapse = true;
    addStars(7);
    settings.timeLapseFrames = 5;
    EXPECT_EQ(timeLapseColour(context), SpinColour::WindowText);
    settings.timeLapseFrames = 6;
    EXPECT_EQ(timeLapseColour(context), SpinColour::Red);
    settings.compositionMode = 1;  // trails without motion effect: no windows
    EXPECT_EQ(timeLapseColour(context), SpinColour::GreyText);
}

TEST_F(OptionPanels, OptionsChosenInTreeAndPanelsReachTheEngineInOrder)
{
    files.setOutput(L"/n/out.tif");
    runCommand(cmd::ToggleTimeLapse, context);  // switches to "Select best pixels"
    changeControl(ctl::TimeLapseFrames, 3, context);
    changeControl(ctl::Sigma, 3, context);
    runCommand(cmd::ToggleReducePollution, context);
    changeControl(ctl::DeepSky, 0, context);
    changeControl(ctl::PollutionStrength, 0, context);
    runCommand(cmd::ToggleEnhanceStars, context);
    changeControl(ctl::EnhanceStrength, 4, context);
    runCommand(*doubleClickCommand(ParamItem::Distortion, settings), context);
    runCommand(cmd::ColorLinear, context);
    runCommand(cmd::ToggleHdr, context);
    changeControl(ctl::UnifyExposure, 1, context);
    settings.baseImage = L"/n/b.tif";
    settings.starImages = {L"/n/s.tif"};
    settings.output = files.output();

    RecordingEngine engine;
    configureEngine(engine, settings);
    const std::vector<std::string> expected = {
        "setBaseImage(/n/b.tif)",        "addStarImage(/n/s.tif)",        "setUnifyExposure(true)",
        "setHomogenizeVignetting(false)", "setOutputFile(/n/out.tif)",     "setCompositionMode(0)",
        "setIntegrationMode(1)",         "setFreezeGroundSelective(true)", "setDumpAsLinear(true)",
        "setTrailsMotionEffect(false)",  "setSigma(1.7)",                 "setAutoBrightness(false)",
        "setHDR(true)",                  "setRemoveHotPixels(false)",     "setMergePixels(false)",
        "setTimeLapseFrames(3)",         "setReducePollution(1, -2)",     "setAggressiveSuppression(false)",
        "setEnhanceStars(2.6)",          "setDistortionCorrection(2)",    "setColorSpace(2)",
    };
    EXPECT_EQ(engine.calls, expected);
}
