#include "WideText.h"

#include <cwchar>

namespace velcli {

std::wstring widen(const std::string& utf8)
{
    std::wstring out;
    out.reserve(utf8.size());
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        char32_t code = extra <= 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool valid = extra >= 0;
        for (int k = 1; valid && k <= extra; ++k) {
            if (i + k >= n || (s[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                code = (code << 6) | (s[i + k] & 0x3F);
        }
        const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (valid && (code < minimum[extra > 0 ? extra : 0] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)))
            valid = false;
        if (!valid) {
            out.push_back(static_cast<wchar_t>(0xFFFD));
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(code));
        i += size_t(extra) + 1;
    }
    return out;
}

std::string narrow(const wchar_t* wide)
{
    std::string out;
    if (!wide)
        return out;
    for (; *wide; ++wide) {
        auto code = static_cast<char32_t>(*wide);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            code = 0xFFFD;
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

std::string fileNamePart(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\:");
    if (cut == std::string::npos || cut + 1 == path.size())
        return path;
    return path.substr(cut + 1);
}

}  // namespace velcli
