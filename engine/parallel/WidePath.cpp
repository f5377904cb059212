#include "parallel/WidePath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cwctype>

namespace velpath {
namespace {

bool isSeparator(wchar_t c) { return c == L'/' || c == L'\\' || c == L':'; }

void appendUtf8(std::string& out, char32_t c)
{
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Writes the UTF-16 code units of one code point; returns how many (1 or 2).
int utf16Units(char32_t c, char16_t units[2])
{
    if (c >= 0x10000 && c <= 0x10FFFF) {
        c -= 0x10000;
        units[0] = static_cast<char16_t>(0xD800 + (c >> 10));
        units[1] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        return 2;
    }
    units[0] = static_cast<char16_t>(c > 0xFFFF ? 0xFFFD : c);
    return 1;
}

}  // namespace

std::string toUtf8(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text)
        appendUtf8(out, static_cast<char32_t>(c));
    return out;
}

std::wstring fromUtf8(std::string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
        bool valid = extra >= 0 && i + static_cast<size_t>(extra) < text.size();
        char32_t c = valid ? (extra == 0 ? lead : lead & (0x3F >> extra)) : 0;
        for (int k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        out += valid ? static_cast<wchar_t>(c) : L'\uFFFD';
        i += valid ? static_cast<size_t>(extra) + 1 : 1;
    }
    return out;
}

const wchar_t* fileNamePart(const wchar_t* path)
{
    if (!path)
        return nullptr;
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
        if (isSeparator(*p))
            name = p + 1;
    return name;
}

std::wstring_view fileNamePart(std::wstring_view path)
{
    for (size_t i = path.size(); i > 0; --i)
        if (isSeparator(path[i - 1]))
            return path.substr(i);
    return path;
}

std::wstring_view folderPart(std::wstring_view path)
{
    for (size_t i = path.size(); i > 0; --i)
        if (isSeparator(path[i - 1]))
            return path.substr(0, i);
    return {};
}

bool endsWithNoCase(std::wstring_view path, std::wstring_view ending)
{
    if (path.size() < ending.size())
        return false;
    const std::wstring_view tail = path.substr(path.size() - ending.size());
    for (size_t i = 0; i < tail.size(); ++i) {
        wchar_t a = tail[i], b = ending[i];
        if (a < 128) a = static_cast<wchar_t>(std::towlower(a));
        if (b < 128) b = static_cast<wchar_t>(std::towlower(b));
        if (a != b)
            return false;
    }
    return true;
}

int compareUtf16(std::wstring_view a, std::wstring_view b)
{
    const auto encode = [](std::wstring_view text) {
        std::u16string units;
        units.reserve(text.size());
        char16_t pair[2];
        for (wchar_t c : text)
            units.append(pair, utf16Units(static_cast<char32_t>(c), pair));
        return units;
    };
    const int order = encode(a).compare(encode(b));
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

bool fileExists(const std::wstring& path)
{
    struct stat info {};
    return ::stat(toUtf8(path).c_str(), &info) == 0;
}

bool removeFile(const std::wstring& path) { return ::unlink(toUtf8(path).c_str()) == 0; }

}  // namespace velpath
