#include "PreviewRawDecoding.h"

#include <libraw/libraw.h>

#include <memory>

namespace velraw {

namespace {

// Even the best lossless RAW compression needs about a bit per sensor pixel; a header promising
// far more pixels than the file can hold is damaged and would only make LibRaw allocate.
constexpr uint64_t kMaxRawPixelsPerByte = 64;

bool acceptableSize(int64_t width, int64_t height, int64_t maxPixels)
{
    return width > 0 && height > 0 && width <= maxPixels && height <= maxPixels / width;
}

void ignoreDataError(void*, const char*, const int) {}

bool stopping(const StopRequest& stopRequested) { return stopRequested && stopRequested(); }

// LibRaw asks between its processing steps; a non-zero answer ends the step with an error.
int pollStop(void* stopRequested, LibRaw_progress, int, int)
{
    try {
        return stopping(*static_cast<const StopRequest*>(stopRequested)) ? 1 : 0;
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

bool plausibleSensor(const libraw_image_sizes_t& sizes, size_t fileBytes, int64_t maxPixels)
{
    return sizes.raw_width > 0 && sizes.raw_height > 0 &&
           uint64_t{sizes.raw_width} * sizes.raw_height <= fileBytes * kMaxRawPixelsPerByte &&
           acceptableSize(sizes.width, sizes.height, maxPixels);
}

bool copyProcessedImage(LibRaw& processor, int64_t maxPixels, const PreviewPixels& pixels)
{
    int width = 0, height = 0, colours = 0, bits = 0;
    processor.get_mem_image_format(&width, &height, &colours, &bits);
    if (colours != 3 || bits != 8 || !acceptableSize(width, height, maxPixels))
        return false;
    unsigned char* into = pixels(width, height);
    return into && processor.copy_mem_image(into, width * 3, 0) == LIBRAW_SUCCESS;
}

}  // namespace

bool decodeRawPreviewPixels(const unsigned char* data, size_t size, int64_t maxPixels,
                            const StopRequest& stopRequested, const PreviewPixels& pixels)
{
    try {
        if (!data || size == 0 || stopping(stopRequested))
            return false;
        auto processor = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
        // LibRaw reports damaged data on stderr by default; the failure is shown in the preview.
        processor->set_dataerror_handler(ignoreDataError, nullptr);
        if (stopRequested)
            processor->set_progress_handler(pollStop, const_cast<StopRequest*>(&stopRequested));
        // LibRaw only reads the buffer; its interface lacks const.
        if (processor->open_buffer(const_cast<unsigned char*>(data), size) != LIBRAW_SUCCESS ||
            !plausibleSensor(processor->imgdata.sizes, size, maxPixels) || processor->unpack() != LIBRAW_SUCCESS)
            return false;
        setPreviewParameters(processor->imgdata.params);
        return processor->dcraw_process() == LIBRAW_SUCCESS && copyProcessedImage(*processor, maxPixels, pixels);
    } catch (...) {
        return false;
    }
}

}  // namespace velraw
