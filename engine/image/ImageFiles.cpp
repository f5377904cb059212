#include "image/ImageFiles.h"

#include "image/ColorConversion.h"
#include "image/JpegReader.h"
#include "image/RawReader.h"
#include "image/TiffReader.h"
#include "parallel/WidePath.h"

namespace velimage {

int loaderColorSetting(int engineColorSpace)
{
    switch (engineColorSpace) {
    case 1: return 2;
    case 2: return 3;
    default: return 1;
    }
}

std::unique_ptr<Image<uint16_t>> loadImage(const std::wstring& path, int colorSetting, int parts,
                                           const std::function<bool()>& stopRequested, RowSink* sink)
{
    const ColorTarget target = colorTargetOf(colorSetting);
    if (velpath::endsWithNoCase(path, L".jpg")) {
        return loadJpeg(path, target, parts, sink);
    }
    if (velpath::endsWithNoCase(path, L".tif") || velpath::endsWithNoCase(path, L".tiff")) {
        return loadTiff(path, target, sink);
    }
    auto raw = std::make_unique<RawImage>();
    if (!loadRaw(path, colorSetting, 1.0, 1.0, false, *raw, stopRequested, sink))
        return nullptr;
    return raw;
}

}  // namespace velimage
