#pragma once

#include <string>
#include <string_view>

// Paths cross the engine interface as wide strings (UTF-32 here); every file-system call
// takes UTF-8. The name-part rules treat "/", "\" and ":" as separators on every platform.
namespace velpath {

std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);

// Text after the last "/", "\" or ":" (the whole path when there is none).
const wchar_t* fileNamePart(const wchar_t* path);
std::wstring_view fileNamePart(std::wstring_view path);
// Up to and including the last separator; empty when there is none.
std::wstring_view folderPart(std::wstring_view path);
// True when `path` ends in `ending`, compared ASCII case-insensitively.
bool endsWithNoCase(std::wstring_view path, std::wstring_view ending);

// Orders names as sequences of unsigned 16-bit (UTF-16) code units; <0, 0, >0 like strcmp.
int compareUtf16(std::wstring_view a, std::wstring_view b);

bool fileExists(const std::wstring& path);
bool removeFile(const std::wstring& path);

}  // namespace velpath
