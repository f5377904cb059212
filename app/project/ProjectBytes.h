#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The raw bytes of a project file, read and screened before the XML parser sees them. Any thread.
namespace velapp {

// Far above any real project (hundreds of images take a few hundred kilobytes); a larger file
// is refused without reading it.
inline constexpr size_t kMaxProjectBytes = 8u << 20;

// Reads a regular file of at most kMaxProjectBytes. On failure `reason` says why (the system's
// reason when the file cannot be opened).
bool readProjectBytes(const std::string& path, std::string& bytes, std::string& reason);

// False for documents the parser must not see: a document type declaration (the only place
// where entities that expand into megabytes can be declared) or elements nested deeper than any
// project nests them (the parsed tree is freed recursively).
bool hasProjectShape(std::string_view bytes);

}  // namespace velapp
