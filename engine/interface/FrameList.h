#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velrun {

// One frame of an output's walk. `position` is its place in the range the list was built from
// (0 = the reference before ordering).
struct FrameEntry {
    int32_t position = 0;
    const wchar_t* path = nullptr;
    const wchar_t* name = nullptr;  // file-name part of `path`
};

// Orders the paths for processing. The first entry of the result is the reference. Trails: by
// file name, descending with the motion effect; align stars: the reference (paths[0]) first,
// then the frames named before it, nearest first, then those named after it, nearest first.
std::vector<FrameEntry> buildFrameList(const std::vector<const wchar_t*>& paths, bool trails, bool motionEffect);

// Sorts paths by file-name part, compared as UTF-16 code units, ascending (stable for equal names).
void sortByFileName(std::vector<const wchar_t*>& paths);

// Paths of the frame list, in processing order (for prefetching).
std::vector<std::wstring> framePaths(const std::vector<FrameEntry>& frames);

}  // namespace velrun
