#include "image/ImageTypes.h"
#include "image/TiffWriter.h"

namespace velimage {

// Output and aligned frames are written uncompressed.
bool TiffImage::save(const std::wstring& path) { return writeTiff16(*this, path); }

}  // namespace velimage
