#include <gtest/gtest.h>

#include "FileTree.h"
#include "StartCheck.h"

using namespace velapp;

namespace {

std::vector<std::wstring> paths(std::initializer_list<const wchar_t*> names)
{
    std::vector<std::wstring> out;
    for (const wchar_t* name : names)
        out.push_back(std::wstring(L"/sky/") + name);
    return out;
}

std::vector<std::wstring> numbered(const wchar_t* prefix, int count)
{
    std::vector<std::wstring> out;
    for (int i = 0; i < count; ++i)
        out.push_back(std::wstring(L"/sky/") + prefix + std::to_wstring(100 + i) + L".cr2");
    return out;
}

}  // namespace

TEST(FileTree, AutomaticBaseIsTheMiddleStarByName)
{
    FileTreeModel model;
    model.addFiles(Category::Star, paths({L"d.jpg", L"b.jpg", L"a.jpg", L"c.jpg"}), true);
    ASSERT_TRUE(model.base());
    EXPECT_EQ(*model.base(), L"/sky/b.jpg");
    EXPECT_TRUE(model.baseAutomatic());
    EXPECT_EQ(model.baseLabel(), L"(b.jpg)");

    model.addFiles(Category::Star, paths({L"e.jpg"}), true);
    EXPECT_EQ(*model.base(), L"/sky/c.jpg");
}

TEST(FileTree, AutomaticBaseOrdersCaseSensitively)
{
    FileTreeModel model;
    // Upper case sorts first: B, C, a.
    model.addFiles(Category::Star, paths({L"a.jpg", L"B.jpg", L"C.jpg"}), true);
    EXPECT_EQ(*model.base(), L"/sky/C.jpg");
}

TEST(FileTree, ChosenBaseStaysWhenStarsChange)
{
    FileTreeModel model;
    model.setBase(L"/sky/own.tif");
    model.addFiles(Category::Star, paths({L"a.jpg", L"b.jpg", L"c.jpg"}), true);
    EXPECT_EQ(*model.base(), L"/sky/own.tif");
    EXPECT_FALSE(model.baseAutomatic());
    EXPECT_EQ(model.baseLabel(), L"own.tif");
    model.removeAll(Category::Star);
    EXPECT_TRUE(model.base());
}

TEST(FileTree, RemovingTheAutomaticBaseFilePicksAnother)
{
    FileTreeModel model;
    model.addFiles(Category::Star, paths({L"a.jpg", L"b.jpg", L"c.jpg"}), true);
    ASSERT_EQ(*model.base(), L"/sky/b.jpg");
    model.removeEntry(Category::Star, 1);
    EXPECT_EQ(*model.base(), L"/sky/a.jpg");
    model.removeAll(Category::Star);
    EXPECT_FALSE(model.base());
}

TEST(FileTree, TwentyFirstStarCollapsesIntoOneGroup)
{
    FileTreeModel model;
    model.addFiles(Category::Star, numbered(L"s", 20), true);
    EXPECT_EQ(model.list(Category::Star).entries().size(), 20u);
    EXPECT_FALSE(model.list(Category::Star).entries().front().group);

    model.addFiles(Category::Star, numbered(L"t", 1), true);
    const auto& entries = model.list(Category::Star).entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries.front().group);
    EXPECT_EQ(entries.front().paths.size(), 21u);
    EXPECT_EQ(entries.front().paths.front(), L"/sky/s100.cr2");
    EXPECT_EQ(entries.front().paths.back(), L"/sky/t100.cr2");

    // Later files join the group.
    model.addFiles(Category::Star, numbered(L"u", 2), true);
    EXPECT_EQ(model.list(Category::Star).entries().size(), 1u);
    EXPECT_EQ(model.list(Category::Star).fileCount(), 23u);
}

TEST(FileTree, SixthCalibrationFileCollapsesIntoOneGroup)
{
    for (Category category : {Category::Noise, Category::Vignetting}) {
        FileTreeModel model;
        model.addFiles(category, numbered(L"n", 5), true);
        EXPECT_EQ(model.list(category).entries().size(), 5u);
        model.addFiles(category, numbered(L"m", 1), true);
        ASSERT_EQ(model.list(category).entries().size(), 1u);
        EXPECT_EQ(model.list(category).entries().front().paths.size(), 6u);
        EXPECT_FALSE(model.base());
    }
}

TEST(FileTree, DuplicateCheckCoversGroupsAndTheSameBatch)
{
    FileTreeModel model;
    model.addFiles(Category::Star, numbered(L"s", 21), true);
    EXPECT_EQ(model.addFiles(Category::Star, numbered(L"s", 21), true), 0u);
    EXPECT_EQ(model.addFiles(Category::Star, paths({L"x.jpg", L"x.jpg"}), true), 1u);
    EXPECT_EQ(model.list(Category::Star).fileCount(), 22u);
    // Names differing in case are different files.
    EXPECT_EQ(model.addFiles(Category::Star, paths({L"X.jpg"}), true), 1u);
    // Each category checks only its own files.
    EXPECT_EQ(model.addFiles(Category::Noise, paths({L"x.jpg"}), true), 1u);
}

TEST(FileTree, UncheckedAddKeepsDuplicates)
{
    FileTreeModel model;
    model.addFiles(Category::Noise, paths({L"d.tif"}), false);
    EXPECT_EQ(model.addFiles(Category::Noise, paths({L"d.tif"}), false), 1u);
    EXPECT_EQ(model.list(Category::Noise).fileCount(), 2u);
}

TEST(FileTree, DropChoiceMovesToEmptyCalibrationCategories)
{
    FileTreeModel model;
    EXPECT_EQ(dropCategoryChoice(model), 0);
    model.addFiles(Category::Star, numbered(L"s", 3), true);
    EXPECT_EQ(dropCategoryChoice(model), 0);
    model.addFiles(Category::Star, numbered(L"t", 1), true);
    EXPECT_EQ(dropCategoryChoice(model), 1);
    model.addFiles(Category::Noise, numbered(L"n", 1), true);
    EXPECT_EQ(dropCategoryChoice(model), 2);
    model.addFiles(Category::Vignetting, numbered(L"v", 1), true);
    EXPECT_EQ(dropCategoryChoice(model), 0);
    EXPECT_EQ(dropChoiceCategory(2), Category::Vignetting);
}

TEST(FileNames, NameAndStemComeFromTheLastSlash)
{
    EXPECT_EQ(fileNameOf(L"/a/b/c.tar.gz"), L"c.tar.gz");
    EXPECT_EQ(fileStemOf(L"/a/b/c.tar.gz"), L"c.tar");
    EXPECT_EQ(fileNameOf(L"plain"), L"plain");
    EXPECT_EQ(fileStemOf(L"/a.b/noext"), L"noext");
    EXPECT_EQ(fileStemOf(L"/a/.hidden"), L".hidden");
    EXPECT_EQ(middleIndex(4), 1u);
    EXPECT_EQ(middleIndex(5), 2u);
    EXPECT_EQ(middleIndex(1), 0u);
}
