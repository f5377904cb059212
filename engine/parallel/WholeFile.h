#pragma once

#include <cstddef>
#include <string>

namespace velfile {

// Creates or replaces `path` with exactly `size` bytes. Success only if every byte was written
// (and flushed to the device when asked). A failed write removes the partial file.
bool writeWholeFile(const std::wstring& path, const void* data, size_t size, bool flush = false);

}  // namespace velfile
