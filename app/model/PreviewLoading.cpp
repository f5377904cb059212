#include "PreviewLoading.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <wx/log.h>
#include <wx/wfstream.h>

#include "ImageHeaderSize.h"
#include "ReadOnlyFile.h"

namespace {

using velapp::ReadOnlyFile;

// Even the best lossless RAW compression needs about a bit per sensor pixel; a header promising
// far more pixels than the file can hold is damaged and would only make LibRaw allocate.
constexpr uint64_t kMaxRawPixelsPerByte = 64;

bool acceptableSize(int64_t width, int64_t height)
{
    return width > 0 && height > 0 && width <= kMaxPreviewPixels && height <= kMaxPreviewPixels / width;
}

bool endsWithLowerCase(const wxString& path, const char* ending)
{
    return path.Lower().EndsWith(ending);
}

// The longer side becomes the limit; integer arithmetic keeps it exact.
bool reduceToLimit(wxImage& image, int limit)
{
    const int width = image.GetWidth(), height = image.GetHeight();
    if (limit <= 0 || (width <= limit && height <= limit))
        return true;
    const int64_t longer = std::max(width, height);
    const auto reducedWidth = static_cast<int>(std::max<int64_t>(1, int64_t{width} * limit / longer));
    const auto reducedHeight = static_cast<int>(std::max<int64_t>(1, int64_t{height} * limit / longer));
    image.Rescale(reducedWidth, reducedHeight, wxIMAGE_QUALITY_HIGH);
    return image.IsOk();
}

// Only what the header declares is checked before the decoder allocates for it.
bool loadThroughHandlers(ReadOnlyFile& file, wxBitmapType type, wxImage& image)
{
    const auto declared = velapp::declaredImageSize(file);
    if (!declared || !acceptableSize(declared->width, declared->height))
        return false;
    wxFileInputStream stream(file.release());
    return stream.IsOk() && image.LoadFile(stream, type) && image.IsOk();
}

std::vector<unsigned char> wholeFile(const ReadOnlyFile& file)
{
    if (file.size() == 0 || file.size() > kMaxRawPreviewFileBytes)
        return {};
    std::vector<unsigned char> bytes(file.size());
    if (!file.readAt(0, bytes.data(), bytes.size()))
        return {};
    return bytes;
}

void ignoreDataError(void*, const char*, const int) {}

bool stopping(const PreviewStopRequest& stopRequested) { return stopRequested && stopRequested(); }

// LibRaw asks between its processing steps; a non-zero answer ends the step with an error.
int pollStop(void* stopRequested, LibRaw_progress, int, int)
{
    try {
        return stopping(*static_cast<const PreviewStopRequest*>(stopRequested)) ? 1 : 0;
    } catch (...) {
        return 1;
    }
}

void setPreviewParameters(libraw_output_params_t& params)
{
    params.output_bps = 8;
    params.use_camera_wb = 1;
    params.use_auto_wb = 0;
    params.no_auto_bright = 1;
    params.gamm[0] = 0.4166667;
    params.gamm[1] = 12.92;
    params.output_color = 1;  // sRGB
}

bool plausibleSensor(const libraw_image_sizes_t& sizes, size_t fileBytes)
{
    return sizes.raw_width > 0 && sizes.raw_height > 0 &&
           uint64_t{sizes.raw_width} * sizes.raw_height <= fileBytes * kMaxRawPixelsPerByte &&
           acceptableSize(sizes.width, sizes.height);
}

bool copyProcessedImage(LibRaw& processor, wxImage& image)
{
    int width = 0, height = 0, colours = 0, bits = 0;
    processor.get_mem_image_format(&width, &height, &colours, &bits);
    if (colours != 3 || bits != 8 || !acceptableSize(width, height))
        return false;
    if (!image.Create(width, height, false))
        return false;
    return processor.copy_mem_image(image.GetData(), width * 3, 0) == LIBRAW_SUCCESS;
}

PreviewLoadResult finished(wxImage image, int limit)
{
    PreviewLoadResult result;
    result.fullSize = image.GetSize();
    if (!reduceToLimit(image, limit))
        return {};
    result.image = image;
    result.ok = true;
    return result;
}

PreviewLoadResult decodeRawBytes(const unsigned char* data, size_t size, int limit,
                                 const PreviewStopRequest& stopRequested)
{
    if (!data || size == 0 || stopping(stopRequested))
        return {};
    wxImage image;
    {
        auto processor = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
        // LibRaw reports damaged data on stderr by default; the failure is shown in the preview.
        processor->set_dataerror_handler(ignoreDataError, nullptr);
        if (stopRequested)
            processor->set_progress_handler(pollStop, const_cast<PreviewStopRequest*>(&stopRequested));
        // LibRaw only reads the buffer; its interface lacks const.
        if (processor->open_buffer(const_cast<unsigned char*>(data), size) != LIBRAW_SUCCESS ||
            !plausibleSensor(processor->imgdata.sizes, size) || processor->unpack() != LIBRAW_SUCCESS)
            return {};
        setPreviewParameters(processor->imgdata.params);
        if (processor->dcraw_process() != LIBRAW_SUCCESS || !copyProcessedImage(*processor, image))
            return {};
    }  // LibRaw's buffers go before the reduction allocates
    if (stopping(stopRequested))
        return {};
    return finished(image, limit);
}

// Paths reach the file system as UTF-8, as the engine passes the same paths on.
std::string fileSystemPath(const wxString& path) { return std::string(path.utf8_str()); }

PreviewLoadResult loadImage(const wxString& path, int limit, const PreviewStopRequest& stopRequested)
{
    ReadOnlyFile file(fileSystemPath(path));
    if (!file.isOpen() || stopping(stopRequested))
        return {};
    if (endsWithLowerCase(path, ".tif") || endsWithLowerCase(path, ".jpg")) {
        wxImage image;
        if (!loadThroughHandlers(file, wxBITMAP_TYPE_ANY, image) || stopping(stopRequested))
            return {};
        return finished(image, limit);
    }
    const std::vector<unsigned char> bytes = wholeFile(file);
    return decodeRawBytes(bytes.data(), bytes.size(), limit, stopRequested);
}

wxImage loadMask(const wxString& path)
{
    ReadOnlyFile file(fileSystemPath(path));
    wxImage mask;
    if (!file.isOpen() || !loadThroughHandlers(file, wxBITMAP_TYPE_PNG, mask))
        return {};
    return mask;
}

}  // namespace

PreviewLoadResult loadPreview(const wxString& path, int limit, const wxString& maskPath,
                              const PreviewStopRequest& stopRequested)
{
    try {
        // The handlers' messages would pile up as log windows; the preview shows its own text.
        wxLogNull quiet;
        PreviewLoadResult result = loadImage(path, limit, stopRequested);
        if (result.ok && !maskPath.empty())
            result.mask = loadMask(maskPath);
        if (stopping(stopRequested))
            return {};
        return result;
    } catch (...) {
        return {};
    }
}

PreviewLoadResult decodeRawPreview(const unsigned char* data, size_t size, int limit,
                                   const PreviewStopRequest& stopRequested)
{
    try {
        return decodeRawBytes(data, size, limit, stopRequested);
    } catch (...) {
        return {};
    }
}
