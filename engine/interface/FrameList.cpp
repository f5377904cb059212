#include "FrameList.h"

#include <algorithm>
#include <string>

#include "parallel/WidePath.h"

namespace velrun {

namespace {

bool nameLess(const wchar_t* a, const wchar_t* b) { return velpath::compareUtf16(a, b) < 0; }

}  // namespace

void sortByFileName(std::vector<const wchar_t*>& paths)
{
    std::stable_sort(paths.begin(), paths.end(), [](const wchar_t* a, const wchar_t* b) {
        return nameLess(velpath::fileNamePart(a), velpath::fileNamePart(b));
    });
}

std::vector<FrameEntry> buildFrameList(const std::vector<const wchar_t*>& paths, bool trails, bool motionEffect)
{
    std::vector<FrameEntry> frames;
    frames.reserve(paths.size());
    for (size_t i = 0; i < paths.size(); ++i)
        frames.push_back({static_cast<int32_t>(i), paths[i], velpath::fileNamePart(paths[i])});
    if (frames.size() < 2)
        return frames;

    const auto byName = [](const FrameEntry& a, const FrameEntry& b) { return nameLess(a.name, b.name); };
    if (trails) {
        if (motionEffect)
            std::stable_sort(frames.begin(), frames.end(),
                             [&](const FrameEntry& a, const FrameEntry& b) { return byName(b, a); });
        else
            std::stable_sort(frames.begin(), frames.end(), byName);
        return frames;
    }

    std::stable_sort(frames.begin(), frames.end(), byName);
    const auto ref = std::find_if(frames.begin(), frames.end(), [](const FrameEntry& e) { return e.position == 0; });
    const auto refIndex = static_cast<int32_t>(ref - frames.begin());
    // Frames named before the reference count -1, -2, ... towards it, those after 1, 2, ...; an
    // ascending sort by that number then puts the nearest neighbours first on either side.
    std::vector<std::pair<int32_t, FrameEntry>> numbered;
    for (int32_t i = 0; i < static_cast<int32_t>(frames.size()); ++i) {
        if (i == refIndex)
            continue;
        const int32_t number = i < refIndex ? -(i + 1) : i - refIndex;
        numbered.emplace_back(number, frames[static_cast<size_t>(i)]);
    }
    std::sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<FrameEntry> ordered;
    ordered.reserve(frames.size());
    ordered.push_back(*ref);
    for (auto& [number, entry] : numbered)
        ordered.push_back(entry);
    return ordered;
}

std::vector<std::wstring> framePaths(const std::vector<FrameEntry>& frames)
{
    std::vector<std::wstring> paths;
    paths.reserve(frames.size());
    for (const FrameEntry& entry : frames)
        paths.emplace_back(entry.path);
    return paths;
}

}  // namespace velrun
