#include "image/ImageFiles.h"

// Stand-in until the image-file readers are in the tree: every file counts as unreadable. Weak,
// so the real reader replaces it at link time; this file goes once the readers are merged.
namespace velimage {

__attribute__((weak)) std::unique_ptr<Image<uint16_t>> loadImage(const std::wstring&, int, int) { return nullptr; }

__attribute__((weak)) int loaderColorSetting(int engineColorSpace)
{
    return engineColorSpace == 1 ? 2 : engineColorSpace == 2 ? 3 : 1;
}

}  // namespace velimage
