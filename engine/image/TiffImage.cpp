#include "image/ImageTypes.h"

namespace velimage {

// The TIFF writer is not part of this build yet; saving reports failure rather than success.
bool TiffImage::save(const std::wstring&) { return false; }

}  // namespace velimage
