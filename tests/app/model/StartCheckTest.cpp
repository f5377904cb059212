#include <gtest/gtest.h>

#include <vector>

#include "StartCheck.h"
#include "TextIds.h"

using namespace velapp;

namespace {

std::vector<std::wstring> stars(std::initializer_list<const wchar_t*> names)
{
    std::vector<std::wstring> out;
    for (const wchar_t* name : names)
        out.push_back(std::wstring(L"/n/") + name);
    return out;
}

// Records the questions and answers them all the same way.
struct Answers {
    bool yes = true;
    std::vector<StartQuestion> asked;

    std::function<bool(StartQuestion)> callback()
    {
        return [this](StartQuestion question) {
            asked.push_back(question);
            return yes;
        };
    }
};

}  // namespace

TEST(RunFiles, WithoutBaseTakesTheMiddleOrFirstStemOut)
{
    FileTreeModel model;
    // Tree order d, b, a, c; ordered by name without extension a, b, c, d.
    model.list(Category::Star).add(L"/n/d.jpg", 0);
    model.list(Category::Star).add(L"/n/b.jpg", 0);
    model.list(Category::Star).add(L"/n/a.jpg", 0);
    model.list(Category::Star).add(L"/n/c.jpg", 0);
    RunFiles align = runFiles(model, 0);
    EXPECT_EQ(*align.base, L"/n/b.jpg");
    EXPECT_EQ(align.stars, stars({L"a.jpg", L"c.jpg", L"d.jpg"}));
    RunFiles trails = runFiles(model, 1);
    EXPECT_EQ(*trails.base, L"/n/a.jpg");
    EXPECT_EQ(trails.stars, stars({L"b.jpg", L"c.jpg", L"d.jpg"}));
}

TEST(RunFiles, SetBaseLeavesTheStarListInTreeOrder)
{
    FileTreeModel model;
    model.addFiles(Category::Star, stars({L"c.jpg", L"a.jpg", L"b.jpg"}), true);  // automatic base b
    RunFiles run = runFiles(model, 0);
    EXPECT_EQ(*run.base, L"/n/b.jpg");
    EXPECT_EQ(run.stars, stars({L"c.jpg", L"a.jpg"}));
}

TEST(StartCheck, RefusesWithoutAnyImage)
{
    FileTreeModel model;
    model.setOutput(L"/n/out.tif");
    RunSettings settings;
    Answers answers;
    const StartDecision decision = checkStart(model, settings, {}, answers.callback());
    EXPECT_FALSE(decision.proceed);
    EXPECT_EQ(decision.messageText, txt::PleaseAddStars);
    EXPECT_TRUE(answers.asked.empty());
}

TEST(StartCheck, BaseAloneProceedsToTheEngine)
{
    FileTreeModel model;
    model.setBase(L"/n/base.tif");
    model.setOutput(L"/n/out.tif");
    RunSettings settings;
    Answers answers;
    const StartDecision decision = checkStart(model, settings, {}, answers.callback());
    EXPECT_TRUE(decision.proceed);
    EXPECT_EQ(*settings.baseImage, L"/n/base.tif");
    EXPECT_TRUE(settings.starImages.empty());
    EXPECT_EQ(*settings.output, L"/n/out.tif");
}

TEST(StartCheck, RefusesWithoutOutputAndLeavesSettingsAlone)
{
    FileTreeModel model;
    model.addFiles(Category::Star, stars({L"a.jpg", L"b.jpg"}), true);
    RunSettings settings;
    Answers answers;
    const StartDecision decision = checkStart(model, settings, {}, answers.callback());
    EXPECT_EQ(decision.messageText, txt::PleaseAssignOutput);
    EXPECT_FALSE(settings.baseImage);
    EXPECT_TRUE(settings.starImages.empty());
}

TEST(StartCheck, FreezeGroundWithoutSkyRegionAsksFirst)
{
    FileTreeModel model;
    model.addFiles(Category::Star, stars({L"a.jpg", L"b.jpg"}), true);
    model.setOutput(L"/n/out.tif");
    RunSettings settings;
    settings.integrationMode = 2;
    Answers no;
    no.yes = false;
    StartDecision decision = checkStart(model, settings, {}, no.callback());
    EXPECT_FALSE(decision.proceed);
    EXPECT_EQ(decision.messageText, 0);
    EXPECT_EQ(decision.focus, StartFocus::SkyRegion);
    ASSERT_EQ(no.asked.size(), 1u);

    StartConditions withRegion;
    withRegion.usableSkyRegion = true;
    Answers yes;
    EXPECT_TRUE(checkStart(model, settings, withRegion, yes.callback()).proceed);
    EXPECT_TRUE(yes.asked.empty());
}

TEST(StartCheck, ExistingOutputIsConfirmedOnlyForAChangedSetup)
{
    FileTreeModel model;
    model.addFiles(Category::Star, stars({L"a.jpg", L"b.jpg"}), true);
    model.setOutput(L"/n/out.tif");
    RunSettings settings;
    StartConditions conditions;
    conditions.outputExists = true;

    Answers no;
    no.yes = false;
    StartDecision decision = checkStart(model, settings, conditions, no.callback());
    EXPECT_EQ(decision.focus, StartFocus::Output);
    ASSERT_EQ(no.asked, std::vector<StartQuestion>{StartQuestion::OverwriteOutput});

    conditions.changedSinceLastRun = false;  // re-running an unchanged setup
    Answers silent;
    silent.yes = false;
    EXPECT_TRUE(checkStart(model, settings, conditions, silent.callback()).proceed);
    conditions.changedSinceLastRun = true;
    conditions.outputConfirmed = true;  // chosen through the save dialog
    EXPECT_TRUE(checkStart(model, settings, conditions, silent.callback()).proceed);
    EXPECT_TRUE(silent.asked.empty());
}

TEST(StartCheck, TimeLapseNeedsMoreStarsThanFrames)
{
    FileTreeModel model;
    model.addFiles(Category::Star, stars({L"a.jpg", L"b.jpg", L"c.jpg", L"d.jpg", L"e.jpg"}), true);
    model.setOutput(L"/n/out.tif");
    RunSettings settings;
    settings.timeLapse = true;
    settings.timeLapseFrames = 5;
    Answers answers;
    StartDecision decision = checkStart(model, settings, {}, answers.callback());
    EXPECT_EQ(decision.messageText, txt::TimeLapseTooLarge);
    EXPECT_EQ(decision.focus, StartFocus::TimeLapse);

    settings.timeLapseFrames = 4;
    EXPECT_TRUE(checkStart(model, settings, {}, answers.callback()).proceed);
    // Where time-lapse does not apply, its frame count is not checked.
    settings.timeLapseFrames = 9;
    settings.integrationMode = 3;
    EXPECT_TRUE(checkStart(model, settings, {}, answers.callback()).proceed);
}

TEST(StartCheck, FillsCalibrationListsInTreeOrder)
{
    FileTreeModel model;
    model.addFiles(Category::Star, stars({L"a.jpg", L"b.jpg", L"c.jpg"}), true);
    model.addFiles(Category::Noise, stars({L"n2.tif", L"n1.tif"}), true);
    model.addFiles(Category::Vignetting, stars({L"v.tif"}), true);
    model.setOutput(L"/n/out.jpg");
    RunSettings settings;
    Answers answers;
    ASSERT_TRUE(checkStart(model, settings, {}, answers.callback()).proceed);
    EXPECT_EQ(*settings.baseImage, L"/n/b.jpg");
    EXPECT_EQ(settings.starImages, stars({L"a.jpg", L"c.jpg"}));
    EXPECT_EQ(settings.noiseImages, stars({L"n2.tif", L"n1.tif"}));
    EXPECT_EQ(settings.vignettingImages, stars({L"v.tif"}));
}
