#include "image/JpegWriter.h"

#include <csetjmp>
#include <cstdio>
#include <memory>

#include <jpeglib.h>

#include "image/ImageFiles.h"

namespace velimage {

namespace {

// A destination that refuses to grow: filling the buffer is a fatal error for the encoder.
struct BoundedDestination {
    jpeg_destination_mgr manager {};
    uint8_t* buffer = nullptr;
    size_t capacity = 0;
};

struct EncoderState {
    jpeg_compress_struct encoder {};
    jpeg_error_mgr errors {};
    BoundedDestination destination {};
    std::jmp_buf landing {};
    bool created = false;

    ~EncoderState()
    {
        if (created)
            jpeg_destroy_compress(&encoder);
    }
};

[[noreturn]] void fatalError(j_common_ptr common)
{
    std::longjmp(static_cast<EncoderState*>(common->client_data)->landing, 1);
}

void ignoreMessage(j_common_ptr) {}
void ignoreWarning(j_common_ptr, int) {}

void startDestination(j_compress_ptr encoder)
{
    auto* destination = static_cast<EncoderState*>(encoder->client_data);
    encoder->dest->next_output_byte = destination->destination.buffer;
    encoder->dest->free_in_buffer = destination->destination.capacity;
}

boolean bufferFull(j_compress_ptr encoder) { fatalError(reinterpret_cast<j_common_ptr>(encoder)); }
void finishDestination(j_compress_ptr) {}

// Every libjpeg call of an encode happens here, so a fatal error lands with no C++ object alive
// in this frame.
bool runEncoder(EncoderState* state, const Image<uint8_t>& image, int quality)
{
    if (setjmp(state->landing))
        return false;
    jpeg_compress_struct* encoder = &state->encoder;
    jpeg_create_compress(encoder);
    state->created = true;
    encoder->dest = &state->destination.manager;
    encoder->image_width = static_cast<JDIMENSION>(image.width());
    encoder->image_height = static_cast<JDIMENSION>(image.height());
    encoder->input_components = image.channels();
    encoder->in_color_space = image.channels() == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(encoder);
    jpeg_set_quality(encoder, quality, TRUE);
    jpeg_start_compress(encoder, TRUE);
    while (encoder->next_scanline < encoder->image_height) {
        // libjpeg does not write through the row pointer; its interface just lacks const.
        JSAMPROW row = const_cast<JSAMPROW>(image.row(static_cast<int32_t>(encoder->next_scanline)));
        if (jpeg_write_scanlines(encoder, &row, 1) != 1)
            return false;
    }
    jpeg_finish_compress(encoder);
    return true;
}

}  // namespace

bool compressJpeg8(const Image<uint8_t>& image, size_t capacity, FileMemory& output, int quality)
{
    if (image.empty() || (image.channels() != 1 && image.channels() != 3) || capacity == 0 || quality < 1 ||
        quality > 100)
        return false;
    output.reserveContent(capacity);
    auto state = std::make_unique<EncoderState>();
    state->encoder.err = jpeg_std_error(&state->errors);
    state->encoder.client_data = state.get();
    state->errors.error_exit = fatalError;
    state->errors.output_message = ignoreMessage;
    state->errors.emit_message = ignoreWarning;
    state->destination.buffer = output.getContent();
    state->destination.capacity = capacity;
    state->destination.manager.init_destination = startDestination;
    state->destination.manager.empty_output_buffer = bufferFull;
    state->destination.manager.term_destination = finishDestination;
    if (!runEncoder(state.get(), image, quality))
        return false;
    output.truncate(capacity - state->destination.manager.free_in_buffer);
    return true;
}

bool writeJpeg8(const Image<uint8_t>& image, const std::wstring& path)
{
    FileMemory output;
    return compressJpeg8(image, kJpegOutputCapacity, output) && output.saveToFile(path.c_str(), true);
}

}  // namespace velimage
