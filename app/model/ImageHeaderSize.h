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
// without decoding, so that a caller can refuse a size before a decoder allocates for it. Empty
// for other formats and for headers that end early or lack the size.
std::optional<DeclaredSize> declaredImageSize(const ReadOnlyFile& file);

}  // namespace velapp
