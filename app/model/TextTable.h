#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "TextIds.h"

// The numbered user-interface texts (UTF-8) in the chosen language.
namespace velapp {

enum class Language { English, TraditionalChinese, Japanese };

struct TextEntry {
    int number;
    const char* text;
};

inline constexpr int kTextCount = 213;

std::span<const TextEntry> englishTexts();
std::span<const TextEntry> chineseTexts();
std::span<const TextEntry> japaneseTexts();
std::span<const TextEntry> sourceTexts(Language language);

// The language a VELLANG value names ("en", "tc", "tw", "jp", case-sensitive); none otherwise.
std::optional<Language> languageFromVelLang(std::string_view value);
// VELLANG decides when it names a language; anything else (unset included) takes the system's.
Language chooseLanguage(const char* vellang, Language systemLanguage);

// Texts 1..207; numbers the chosen language lacks hold the English text.
class TextTable {
public:
    TextTable();
    void fill(Language language);
    Language language() const { return m_language; }
    // Empty for numbers outside 1..207.
    const std::string& text(int number) const;

private:
    std::array<std::string, kTextCount + 1> m_texts;
    Language m_language = Language::English;
};

// The program's table. Filled once on the UI thread before any window exists, read-only after,
// so that every thread may read it.
TextTable& programTexts();
inline const std::string& text(int number) { return programTexts().text(number); }

// `text` with every occurrence of `placeholder` ("(F)", "(N)", "(E)", "(R)") replaced by `value`.
std::string fillPlaceholder(std::string text, std::string_view placeholder, std::string_view value);

}  // namespace velapp
