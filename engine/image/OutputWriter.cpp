#include "image/OutputWriter.h"

#include "image/ImageFiles.h"
#include "integration/AccumulationArithmetic.h"
#include "parallel/WidePath.h"

namespace velimage {

bool writeOutput(AccumulationImage& image, const std::wstring& path, MetadataList& metadata, bool rawInput,
                 int rotationCode)
{
    const bool jpeg = velpath::endsWithNoCase(path, L".jpg");
    const bool tiff = velpath::endsWithNoCase(path, L".tif") || velpath::endsWithNoCase(path, L".tiff");
    if (!jpeg && !tiff)
        return false;
    int rotation = 0;
    if (rawInput) {
        metadata.setShort(tags::Orientation, 1);
        rotation = rotationCode;
    }
    if (jpeg) {
        Image8 output;
        return velstack::toOutput8(image, output, rotation) && writeJpeg8(output, path);
    }
    TiffImage output;
    if (!velstack::toOutput16(image, output, rotation))
        return false;
    output.copyMetadataFrom(&metadata);
    return output.save(path);
}

}  // namespace velimage
