#pragma once

#include <cstdint>
#include <optional>

#include "ReadOnlyFile.h"

namespace velapp {

struct DeclaredSize {
    int64_t width = 0;
    int64_t height = 0;
};

// The pixel size a JPEG, PNG or TIFF file declares in its header (TIFF: the first image), read
// without decoding, so that a decoder is never asked to allocate for a size no file of this length
// could sensibly hold. Empty for other formats and for headers that end or contradict themselves.
std::optional<DeclaredSize> declaredImageSize(const ReadOnlyFile& file);

}  // namespace velapp
