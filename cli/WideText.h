#pragma once

#include <string>

namespace velcli {

// UTF-8 command-line text <-> the engine's wide paths. Invalid bytes become U+FFFD, so a name
// that cannot be represented fails to open instead of naming another file.
std::wstring widen(const std::string& utf8);
std::string narrow(const wchar_t* wide);

// The part after the last '/', '\\' or ':'; the whole text if there is none or it ends with one.
std::string fileNamePart(const std::string& path);

}  // namespace velcli
