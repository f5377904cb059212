#include "TextTable.h"

#include <cstring>

namespace velapp {

std::span<const TextEntry> sourceTexts(Language language)
{
    switch (language) {
    case Language::TraditionalChinese: return chineseTexts();
    case Language::Japanese: return japaneseTexts();
    case Language::English: break;
    }
    return englishTexts();
}

std::optional<Language> languageFromVelLang(std::string_view value)
{
    if (value == "en")
        return Language::English;
    if (value == "tc" || value == "tw")
        return Language::TraditionalChinese;
    if (value == "jp")
        return Language::Japanese;
    return std::nullopt;
}

Language chooseLanguage(const char* vellang, Language systemLanguage)
{
    return languageFromVelLang(vellang ? std::string_view(vellang) : std::string_view())
        .value_or(systemLanguage);
}

TextTable::TextTable() { fill(Language::English); }

void TextTable::fill(Language language)
{
    m_language = language;
    for (auto& entry : m_texts)
        entry.clear();
    auto put = [this](std::span<const TextEntry> table) {
        for (const TextEntry& entry : table) {
            if (entry.number >= 1 && entry.number <= kTextCount && m_texts[entry.number].empty())
                m_texts[entry.number] = entry.text;
        }
    };
    put(sourceTexts(language));
    put(englishTexts());
}

const std::string& TextTable::text(int number) const
{
    static const std::string none;
    if (number < 1 || number > kTextCount)
        return none;
    return m_texts[number];
}

TextTable& programTexts()
{
    static TextTable table;
    return table;
}

std::string fillPlaceholder(std::string text, std::string_view placeholder, std::string_view value)
{
    if (placeholder.empty())
        return text;
    for (size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
    return text;
}

}  // namespace velapp
