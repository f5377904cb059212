#include "parallel/UniqueName.h"

#include <cwchar>

#include "parallel/WidePath.h"

namespace velfile {

std::wstring uniqueName(const std::wstring& outputPath, const std::wstring& suffix, uint32_t& counter)
{
    const std::wstring folder(velpath::folderPart(outputPath));
    for (;;) {
        wchar_t digits[16];
        std::swprintf(digits, 16, L"%05u", counter++);
        std::wstring candidate = folder + L"Vel" + digits + suffix;
        if (!velpath::fileExists(candidate))
            return candidate;
    }
}

}  // namespace velfile
