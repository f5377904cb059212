#include "TimeLapse.h"

#include <cwchar>
#include <utility>

#include "parallel/WidePath.h"

namespace velrun {

std::wstring timeLapseOutputPath(std::wstring_view output, uint64_t k, size_t starCount)
{
    const std::wstring_view folder = velpath::folderPart(output);
    std::wstring_view rest = output.substr(folder.size());
    std::wstring_view extension = L".tif";
    const size_t dot = rest.rfind(L'.');
    if (dot != std::wstring_view::npos) {
        extension = rest.substr(dot);
        rest = rest.substr(0, dot);
    }
    const int digits = starCount < 100 ? 2 : starCount < 1000 ? 3 : starCount < 10000 ? 4 : 5;
    wchar_t number[32];
    std::swprintf(number, 32, L"%0*llu", digits, static_cast<unsigned long long>(k));
    std::wstring path(folder);
    path.append(rest).append(number).append(extension);
    return path;
}

std::vector<const wchar_t*> timeLapseWindow(const std::vector<const wchar_t*>& sorted, size_t start, size_t width)
{
    std::vector<const wchar_t*> window;
    if (start >= sorted.size() || width == 0)
        return window;
    const size_t end = start + width < sorted.size() ? start + width : sorted.size();
    window.assign(sorted.begin() + static_cast<std::ptrdiff_t>(start), sorted.begin() + static_cast<std::ptrdiff_t>(end));
    const size_t middle = width / 2;
    if (middle < window.size())
        std::swap(window[0], window[middle]);
    return window;
}

}  // namespace velrun
