#include "SystemLanguage.h"

#include <wx/intl.h>

velapp::Language languageForWx(int wxLanguage)
{
    switch (wxLanguage) {
    case wxLANGUAGE_CHINESE:
    case wxLANGUAGE_CHINESE_TRADITIONAL_EXPLICIT:
    case wxLANGUAGE_CHINESE_HONGKONG:
    case wxLANGUAGE_CHINESE_SINGAPORE:
    case wxLANGUAGE_CHINESE_TAIWAN:
        return velapp::Language::TraditionalChinese;
    case wxLANGUAGE_JAPANESE:
        return velapp::Language::Japanese;
    default:
        return velapp::Language::English;
    }
}

velapp::Language systemLanguage() { return languageForWx(wxLocale::GetSystemLanguage()); }
