#include "image/JpegReader.h"

#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

#include "FileMemory.h"
#include "image/ColorConversion.h"
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
    uint8_t* rows = nullptr;  // destination of the decoded rows, owned by the caller
    size_t stride = 0;
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

// Where decoded rows go: allocate() sizes the destination once the header is known and returns
// the first row; the rows follow each other `stride` bytes apart.
class RowTarget {
public:
    virtual uint8_t* allocate(int32_t width, int32_t height, int32_t channels, size_t& stride) = 0;

protected:
    ~RowTarget() = default;
};

class NarrowTarget final : public RowTarget {
public:
    explicit NarrowTarget(Image<uint8_t>& image) : m_image(image) {}
    uint8_t* allocate(int32_t width, int32_t height, int32_t channels, size_t& stride) override
    {
        m_image.allocate(width, height, channels);
        stride = m_image.rowElements();
        return m_image.data();
    }

private:
    Image<uint8_t>& m_image;
};

// Decodes straight into the 16-bit image: each 8-bit row lands in the first half of its 16-bit
// row and is widened in place afterwards, which saves a second full-size buffer and a pass.
class WideTarget final : public RowTarget {
public:
    explicit WideTarget(Image<uint16_t>& image) : m_image(image) {}
    uint8_t* allocate(int32_t width, int32_t height, int32_t channels, size_t& stride) override
    {
        m_image.allocate(width, height, channels);
        stride = m_image.rowElements() * sizeof(uint16_t);
        return reinterpret_cast<uint8_t*>(m_image.data());
    }

private:
    Image<uint16_t>& m_image;
};

// Every libjpeg call of a decode happens in this one function, so a fatal error lands here with
// no C++ object alive in this frame. `state` and `target` are owned by the caller.
bool runDecoder(State* state, const uint8_t* data, size_t size, RowTarget& target)
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
    state->stride = 0;
    state->rows = target.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), components, state->stride);
    jpeg_start_decompress(decoder);
    while (decoder->output_scanline < decoder->output_height) {
        JSAMPROW row = state->rows + state->stride * decoder->output_scanline;
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

namespace {

// Decodes into `target` and reads the Exif block into `list`; the decoder lives only in here.
bool decodeInto(const uint8_t* data, size_t size, RowTarget& target, MetadataList& list)
{
    if (!data || size == 0)
        return false;
    JpegImage::DecoderHandle state(new State, destroyState);
    state->decoder.err = jpeg_std_error(&state->errors);
    state->decoder.client_data = state.get();  // kept by jpeg_create_decompress
    state->errors.error_exit = fatalError;
    state->errors.output_message = ignoreMessage;
    state->errors.emit_message = ignoreWarning;
    state->progress.progress_monitor = limitScans;
    if (!runDecoder(state.get(), data, size, target))
        return false;
    readExifMarkers(state->decoder, list);
    return true;
}

}  // namespace

bool decodeJpeg(const uint8_t* data, size_t size, JpegImage& image)
{
    NarrowTarget target(image);
    return decodeInto(data, size, target, image.ensureMetadata());
}

std::unique_ptr<Image<uint16_t>> loadJpeg(const std::wstring& path, ColorTarget colorTarget, int parts)
{
    auto image = std::make_unique<Image<uint16_t>>();
    {
        FileMemory file;
        WideTarget target(*image);
        if (!file.loadFromFile(path.c_str()) ||
            !decodeInto(file.getContent(), file.getSize(), target, image->ensureMetadata()))
            return nullptr;
    }
    // Widening (v·257) and the decoding curve in one 256-entry table; then the primaries.
    ColorPlan plan = colorPlanFor(FileKind::Jpeg, image->metadata(), colorTarget);
    const std::array<uint16_t, 256> table = narrowDecodingTable(plan);
    const size_t count = image->rowElements();
    runRowBands(parts, image->height(), [&](int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            uint16_t* row = image->row(y);
            const uint8_t* narrow = reinterpret_cast<const uint8_t*>(row);
            // Backwards: sample i is read at byte i before anything is written at bytes 2i, 2i + 1.
            for (size_t i = count; i-- > 0;)
                row[i] = table[narrow[i]];
        }
    });
    plan.curve = ColorPlan::Curve::None;
    applyColorPlan(*image, plan, parts);
    return image;
}

}  // namespace velimage
