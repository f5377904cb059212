#include "image/JpegReader.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

#include "FileMemory.h"
#include "image/ExifReader.h"
#include "image/ImageLimits.h"
#include "image/RowBands.h"

namespace velimage {

// The decompressor, its error manager and the landing point of the library's fatal errors.
struct JpegImage::DecoderState {
    jpeg_decompress_struct decoder {};
    jpeg_error_mgr errors {};
    jpeg_progress_mgr progress {};
    std::jmp_buf landing {};
    bool created = false;
};

namespace {

using State = JpegImage::DecoderState;

// A valid JPEG needs at least about one bit per 8×8 block, so no real file decodes to more than
// 512 pixels per byte; a header promising more is a damaged or hostile file, which libjpeg would
// otherwise pad out with grey at full cost.
constexpr uint64_t kMaxPixelsPerByte = 1024;
// Progressive files with absurd scan counts make the decoder crawl; real ones have about ten.
constexpr int kMaxScans = 500;

[[noreturn]] void fatalError(j_common_ptr common)
{
    // client_data leads back to the state holding the landing point of the running decode.
    State* state = static_cast<State*>(common->client_data);
    std::longjmp(state->landing, 1);
}

void ignoreMessage(j_common_ptr) {}
void ignoreWarning(j_common_ptr, int) {}

void limitScans(j_common_ptr common)
{
    if (common->is_decompressor &&
        reinterpret_cast<j_decompress_ptr>(common)->input_scan_number > kMaxScans)
        fatalError(common);
}

void destroyState(State* state)
{
    if (state->created)
        jpeg_destroy_decompress(&state->decoder);
    delete state;
}

// Every libjpeg call of a decode happens in this one function, so a fatal error lands here with
// no C++ object alive in this frame. `image` and `state` are owned by the caller.
bool runDecoder(State* state, const uint8_t* data, size_t size, JpegImage& image)
{
    if (setjmp(state->landing))
        return false;
    jpeg_decompress_struct* decoder = &state->decoder;
    jpeg_create_decompress(decoder);
    state->created = true;
    decoder->progress = &state->progress;
    jpeg_mem_src(decoder, data, static_cast<unsigned long>(size));
    jpeg_save_markers(decoder, JPEG_APP0 + 1, 0xFFFF);
    if (jpeg_read_header(decoder, TRUE) != JPEG_HEADER_OK)
        return false;
    const int components = decoder->num_components;
    if (components != 1 && components != 3)
        return false;
    decoder->out_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_calc_output_dimensions(decoder);
    const uint64_t width = decoder->output_width, height = decoder->output_height;
    if (!saneDimensions(width, height) || width * height > size * kMaxPixelsPerByte ||
        decoder->output_components != components)
        return false;
    // May throw std::bad_alloc: fine, nothing of libjpeg is on the stack during the call.
    image.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), components);
    jpeg_start_decompress(decoder);
    while (decoder->output_scanline < decoder->output_height) {
        JSAMPROW row = image.row(static_cast<int32_t>(decoder->output_scanline));
        if (jpeg_read_scanlines(decoder, &row, 1) != 1)
            return false;
    }
    // No jpeg_finish_decompress: it would free the saved markers the Exif block is read from
    // afterwards; destroying the decoder ends the decode just as well.
    return true;
}

void readExifMarkers(const jpeg_decompress_struct& decoder, MetadataList& list)
{
    for (jpeg_saved_marker_ptr marker = decoder.marker_list; marker; marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1 || marker->data_length < 6 ||
            std::memcmp(marker->data, "Exif", 4) != 0)
            continue;
        // "Exif" and two padding bytes precede the TIFF structure.
        readExifBlock(marker->data + 6, marker->data_length - 6, list);
        return;
    }
}

}  // namespace

bool decodeJpeg(const uint8_t* data, size_t size, JpegImage& image)
{
    if (!data || size == 0)
        return false;
    JpegImage::DecoderHandle handle(new State, destroyState);
    State* state = handle.get();
    state->decoder.err = jpeg_std_error(&state->errors);
    state->decoder.client_data = state;  // kept by jpeg_create_decompress
    state->errors.error_exit = fatalError;
    state->errors.output_message = ignoreMessage;
    state->errors.emit_message = ignoreWarning;
    state->progress.progress_monitor = limitScans;
    image.setDecoderState(std::move(handle));
    const bool decoded = runDecoder(state, data, size, image);
    if (decoded)
        readExifMarkers(state->decoder, image.ensureMetadata());
    image.setDecoderState(JpegImage::DecoderHandle(nullptr, destroyState));
    return decoded;
}

std::unique_ptr<Image<uint16_t>> loadJpeg16(const std::wstring& path, int parts)
{
    JpegImage decoded;
    {
        FileMemory file;
        if (!file.loadFromFile(path.c_str()) || !decodeJpeg(file.getContent(), file.getSize(), decoded))
            return nullptr;
    }
    auto image = std::make_unique<Image<uint16_t>>();
    image->allocate(decoded.width(), decoded.height(), decoded.channels());
    const size_t count = decoded.rowElements();
    runRowBands(parts, decoded.height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            const uint8_t* in = decoded.row(y);
            uint16_t* out = image->row(y);
            for (size_t i = 0; i < count; ++i)
                out[i] = static_cast<uint16_t>(in[i] * 257);
        }
    });
    image->setMetadata(decoded.takeMetadata());
    return image;
}

}  // namespace velimage
