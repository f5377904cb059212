#pragma once

#include <gtest/gtest.h>

#include "FileTree.h"
#include "OptionContext.h"
#include "RunSettings.h"
#include "TextTable.h"

// A new project's options, its file tree and sky-region state, with English texts.
class OptionTest : public ::testing::Test {
protected:
    void SetUp() override { velapp::programTexts().fill(velapp::Language::English); }

    void addStars(int count)
    {
        for (int i = 0; i < count; ++i)
            files.list(velapp::Category::Star).add(L"/n/s" + std::to_wstring(files.list(velapp::Category::Star).fileCount()) + L".cr2", 0);
    }

    velapp::RunSettings settings;
    velapp::FileTreeModel files;
    velapp::SkyRegionState sky;
    velapp::OptionContext context{settings, files, sky};
};
