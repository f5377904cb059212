#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velrun {

// Output k (from 1) of a time-lapse run over `starCount` frames: folder + name + k padded with
// zeros to 2..5 digits (by the frame count) + extension (".tif" when the output has none).
std::wstring timeLapseOutputPath(std::wstring_view output, uint64_t k, size_t starCount);

// The `width` paths of `sorted` from `start`, with the window's middle entry moved to the front
// (it becomes the reference) by swapping it with the first.
std::vector<const wchar_t*> timeLapseWindow(const std::vector<const wchar_t*>& sorted, size_t start, size_t width);

}  // namespace velrun
