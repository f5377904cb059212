#include "image/JpegReader.h"

#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include "FileMemory.h"
#include "image/ColorConversion.h"
#include "image/ExifReader.h"
#include "image/ImageLimits.h"
#include "image/RowBands.h"
#include "image/RowSink.h"
#include "image/SampleLookup.h"

namespace velimage {

// The decompressor, its error manager and the landing point of the library's fatal errors.
struct JpegImage::DecoderState {
    jpeg_decompress_struct decoder {};
    jpeg_error_mgr errors {};
    jpeg_progress_mgr progress {};
    std::jmp_buf landing {};
    bool created = false;
    bool dataEnded = false;  // the source ran out and libjpeg went on with a made-up end marker
    bool rowsLost = false;   // ... and then still needed data: the rest of the image is padding
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

// Warnings about damaged data are no reason to refuse a frame (libjpeg recovers from them),
// except when the file ended before the decoder had its data: libjpeg then pads the missing
// rows with grey, which would be stacked as if it were sky.
void noteWarning(j_common_ptr common, int level)
{
    if (level >= 0)
        return;  // trace messages
    State* state = static_cast<State*>(common->client_data);
    if (common->err->msg_code == JWRN_JPEG_EOF)
        state->dataEnded = true;
    else if (common->err->msg_code == JWRN_HIT_MARKER && state->dataEnded)
        state->rowsLost = true;
}

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

// Where decoded rows go. start() is called once the header (and so the Exif block) is read: it
// reads the metadata, sizes the destination and returns the first row, the rows following each
// other `stride` bytes apart; rowDecoded() sees every row as soon as libjpeg has written it.
// Both run while the decoder is idle, so they may throw (allocation) without a jump across them.
class RowTarget {
public:
    virtual uint8_t* start(const jpeg_decompress_struct& decoder, size_t& stride) = 0;
    virtual void rowDecoded(uint8_t*) {}

protected:
    ~RowTarget() = default;
};

class NarrowTarget final : public RowTarget {
public:
    explicit NarrowTarget(Image<uint8_t>& image) : m_image(image) {}
    uint8_t* start(const jpeg_decompress_struct& decoder, size_t& stride) override
    {
        readExifMarkers(decoder, m_image.ensureMetadata());
        m_image.allocate(static_cast<int32_t>(decoder.output_width), static_cast<int32_t>(decoder.output_height),
                         decoder.output_components);
        stride = m_image.rowElements();
        return m_image.data();
    }

private:
    Image<uint8_t>& m_image;
};

// Decodes straight into the 16-bit image: each 8-bit row lands in the first half of its 16-bit
// row and is widened in place, through the colour table, while it is still in the cache. That
// saves a second full-size buffer and a pass over memory. With a row sink the primaries follow on
// each row too, and the sink sees the finished rows as they come.
class WideTarget final : public RowTarget {
public:
    WideTarget(Image<uint16_t>& image, ColorTarget colorTarget, RowSink* sink)
        : m_image(image), m_colorTarget(colorTarget), m_sink(sink)
    {
    }

    uint8_t* start(const jpeg_decompress_struct& decoder, size_t& stride) override
    {
        readExifMarkers(decoder, m_image.ensureMetadata());
        m_plan = colorPlanFor(FileKind::Jpeg, m_image.metadata(), m_colorTarget);
        m_table = narrowDecodingTable(m_plan);
        m_image.allocate(static_cast<int32_t>(decoder.output_width), static_cast<int32_t>(decoder.output_height),
                         decoder.output_components);
        stride = m_image.rowElements() * sizeof(uint16_t);
        if (m_sink)
            m_sink->begin(m_image);
        return reinterpret_cast<uint8_t*>(m_image.data());
    }

    void rowDecoded(uint8_t* row) override
    {
        auto* wide = reinterpret_cast<uint16_t*>(row);
        widenThroughTable(row, wide, m_image.rowElements(), m_table);
        if (!m_sink)
            return;
        applyColorPlanToRow(wide, m_image.rowElements(), m_image.channels(), remainingPlan());
        if (++m_rows % kRowSinkStep == 0)
            m_sink->rowsDecoded(m_rows);
    }

    // Every row decoded: the sink sees the last ones and the end.
    void finish()
    {
        if (!m_sink)
            return;
        m_sink->rowsDecoded(m_image.height());
        m_sink->finish();
    }

    // What is left of the plan once the curve went into the table.
    ColorPlan remainingPlan() const
    {
        ColorPlan plan = m_plan;
        plan.curve = ColorPlan::Curve::None;
        return plan;
    }

private:
    Image<uint16_t>& m_image;
    ColorTarget m_colorTarget;
    ColorPlan m_plan;
    std::array<uint16_t, 256> m_table {};
    RowSink* m_sink;
    int32_t m_rows = 0;
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
    state->stride = 0;
    state->rows = target.start(*decoder, state->stride);
    jpeg_start_decompress(decoder);
    while (decoder->output_scanline < decoder->output_height) {
        JSAMPROW row = state->rows + state->stride * decoder->output_scanline;
        if (jpeg_read_scanlines(decoder, &row, 1) != 1 || state->rowsLost)
            return false;
        target.rowDecoded(row);
    }
    // No jpeg_finish_decompress: every row is there, and a damaged tail after the last one should
    // not fail the image; destroying the decoder ends the decode.
    return true;
}

bool decodeInto(const uint8_t* data, size_t size, RowTarget& target)
{
    if (!data || size == 0)
        return false;
    JpegImage::DecoderHandle state(new State, destroyState);
    state->decoder.err = jpeg_std_error(&state->errors);
    state->decoder.client_data = state.get();  // kept by jpeg_create_decompress
    state->errors.error_exit = fatalError;
    state->errors.output_message = ignoreMessage;
    state->errors.emit_message = noteWarning;
    state->progress.progress_monitor = limitScans;
    return runDecoder(state.get(), data, size, target);
}

}  // namespace

bool decodeJpeg(const uint8_t* data, size_t size, JpegImage& image)
{
    NarrowTarget target(image);
    return decodeInto(data, size, target);
}

std::unique_ptr<Image<uint16_t>> loadJpeg(const std::wstring& path, ColorTarget colorTarget, int parts, RowSink* sink)
{
    auto image = std::make_unique<Image<uint16_t>>();
    WideTarget target(*image, colorTarget, sink);
    {
        FileMemory file;
        if (!file.loadFromFile(path.c_str()) || !decodeInto(file.getContent(), file.getSize(), target))
            return nullptr;
    }
    if (sink)
        target.finish();
    else
        applyColorPlan(*image, target.remainingPlan(), parts);
    return image;
}

}  // namespace velimage
