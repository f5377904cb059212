#include <gtest/gtest.h>

#include "TextTable.h"

using namespace velapp;

TEST(LanguageChoice, VelLangNamesTheLanguageCaseSensitively)
{
    EXPECT_EQ(chooseLanguage("en", Language::Japanese), Language::English);
    EXPECT_EQ(chooseLanguage("tc", Language::English), Language::TraditionalChinese);
    EXPECT_EQ(chooseLanguage("tw", Language::English), Language::TraditionalChinese);
    EXPECT_EQ(chooseLanguage("jp", Language::English), Language::Japanese);
    // Anything else, upper case and unset included, defers to the system language.
    EXPECT_EQ(chooseLanguage("TW", Language::Japanese), Language::Japanese);
    EXPECT_EQ(chooseLanguage("EN", Language::TraditionalChinese), Language::TraditionalChinese);
    EXPECT_EQ(chooseLanguage("ja", Language::English), Language::English);
    EXPECT_EQ(chooseLanguage("", Language::TraditionalChinese), Language::TraditionalChinese);
    EXPECT_EQ(chooseLanguage(nullptr, Language::Japanese), Language::Japanese);
}

TEST(TextTable, EnglishAndChineseTablesAreCompleteAndUnique)
{
    for (auto table : {englishTexts(), chineseTexts()}) {
        ASSERT_EQ(table.size(), static_cast<size_t>(kTextCount));
        for (int i = 0; i < kTextCount; ++i) {
            EXPECT_EQ(table[i].number, i + 1);
            EXPECT_STRNE(table[i].text, "") << "text " << i + 1;
        }
    }
}

TEST(TextTable, JapaneseShowsEnglishWhereItHasNoText)
{
    TextTable table;
    table.fill(Language::Japanese);
    EXPECT_EQ(table.text(txt::AboutVelostar), "About Velostar");
    EXPECT_EQ(table.text(txt::MenuFile), "&File");
    EXPECT_NE(table.text(txt::StarImages), "Star images");
    EXPECT_EQ(japaneseTexts().size(), 96u);
    for (int number = 1; number <= kTextCount; ++number)
        EXPECT_FALSE(table.text(number).empty()) << "text " << number;
}

TEST(TextTable, KeepsTheEnglishWordingExactly)
{
    TextTable table;
    table.fill(Language::English);
    EXPECT_EQ(table.text(txt::WriteFailed), "Writting output failed!");
    EXPECT_EQ(table.text(txt::Colon), ": ");
    EXPECT_EQ(table.text(txt::Every), "Every ");
    EXPECT_EQ(table.text(txt::Frames), " frames");
    EXPECT_EQ(table.text(txt::DoubleClickStarImages), "Double click \"Star images\" to add image(s)");
    EXPECT_EQ(table.text(txt::BaseUnreadable),
              "Loading base image failed. Unsupported file format or invalid file.\n"
              "Velostar only supports RAW(of some cameras), JPEG, and uncompressed TIFF.");
    EXPECT_EQ(table.text(0), "");
    EXPECT_EQ(table.text(kTextCount + 1), "");
}

TEST(TextTable, RefillingReplacesTheLanguage)
{
    TextTable table;
    table.fill(Language::TraditionalChinese);
    const std::string chinese = table.text(txt::StarImages);
    table.fill(Language::English);
    EXPECT_EQ(table.text(txt::StarImages), "Star images");
    EXPECT_NE(chinese, "Star images");
}

TEST(TextTable, FillsEveryPlaceholder)
{
    EXPECT_EQ(fillPlaceholder("(N) files", "(N)", "21"), "21 files");
    EXPECT_EQ(fillPlaceholder("(E) elapsed, (R) remaining", "(R)", "00:10"), "(E) elapsed, 00:10 remaining");
    // A value that contains the placeholder itself is not expanded again.
    EXPECT_EQ(fillPlaceholder("Loading (F)", "(F)", "(F)(F)"), "Loading (F)(F)");
    EXPECT_EQ(fillPlaceholder("no marks", "(F)", "x"), "no marks");
}
