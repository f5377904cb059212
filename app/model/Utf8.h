#pragma once

#include <string>
#include <string_view>

// The model keeps texts as UTF-8 and paths as wide strings (UTF-32 on Linux, as the engine takes
// them). Invalid code points become U+FFFD.
namespace velapp {

std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view text);

}  // namespace velapp
