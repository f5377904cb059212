#include "image/RawReader.h"

#include <fcntl.h>
#include <libraw/libraw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "DecoderProcess.h"
#include "FileMemory.h"
#include "image/ImageLimits.h"
#include "image/RawReply.h"
#include "image/RowSink.h"
#include "parallel/WidePath.h"

namespace velimage {

namespace {

constexpr uint16_t kExposureBiasTag = 37380;
// Even the best lossless RAW compression needs about a bit per sensor pixel; a header promising
// far more pixels than the file can hold is damaged, and would make LibRaw allocate for nothing.
constexpr uint64_t kMaxRawPixelsPerByte = 64;
// Files are read whole, in one 32-bit read.
constexpr uint64_t kMaxRawFileBytes = 0xFFFFFFFFull;

// The processor and the exposure bias seen while LibRaw parsed the EXIF data (LibRaw keeps no
// field for it). Owning the processor here releases it, and its buffers, on every path.
struct RawDecoder {
    std::unique_ptr<LibRaw> processor = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    bool hasExposureBias = false;
    float exposureBias = 0.0f;
    int flip = 0;
};

uint32_t readOrdered32(const unsigned char* bytes, bool little)
{
    return little ? uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24
                  : uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]);
}

// LibRaw calls this for every EXIF entry with the stream at the entry's value.
void watchExif(void* context, int tag, int type, int count, unsigned int order, void* stream, INT64)
{
    constexpr int kSignedRational = 10;
    if ((tag & 0xFFFF) != kExposureBiasTag || type != kSignedRational || count < 1 || !stream)
        return;
    unsigned char bytes[8];
    if (static_cast<LibRaw_abstract_datastream*>(stream)->read(bytes, 1, 8) != 8)
        return;
    const bool little = order == 0x4949;
    const auto numerator = static_cast<int32_t>(readOrdered32(bytes, little));
    const auto denominator = static_cast<int32_t>(readOrdered32(bytes + 4, little));
    if (denominator == 0)
        return;
    auto* decoder = static_cast<RawDecoder*>(context);
    decoder->hasExposureBias = true;
    decoder->exposureBias = static_cast<float>(static_cast<double>(numerator) / denominator);
}

void ignoreDataError(void*, const char*, const int) {}

void setOutputParameters(libraw_output_params_t& params, int colorSetting, double gamma0, double gamma1,
                         bool applyOrientation)
{
    params.use_auto_wb = 0;
    params.use_camera_wb = 1;
    params.output_color = colorSetting == 2 ? 2 : 1;
    params.output_bps = 16;
    params.user_flip = applyOrientation ? -1 : 0;
    params.no_auto_bright = 1;
    params.gamm[0] = gamma0 != 0.0 ? 1.0 / gamma0 : 1.0;
    params.gamm[1] = gamma1;
}

bool copyPixels(LibRaw& processor, RawImage& image)
{
    int width = 0, height = 0, colours = 0, bits = 0;
    processor.get_mem_image_format(&width, &height, &colours, &bits);
    if (!saneDimensions(width, height) || colours < 1 || colours > 4 || (bits != 8 && bits != 16))
        return false;
    image.allocate(width, height, colours);
    if (bits == 16)
        return processor.copy_mem_image(image.data(), width * colours * 2, 0) == LIBRAW_SUCCESS;
    std::vector<uint8_t> narrow(image.elementCount());
    if (processor.copy_mem_image(narrow.data(), width * colours, 0) != LIBRAW_SUCCESS)
        return false;
    for (size_t i = 0; i < narrow.size(); ++i)
        image.data()[i] = static_cast<uint16_t>(narrow[i] * 257);
    return true;
}

uint16_t orientationOfFlip(int flip)
{
    switch (flip) {
    case 3: return 3;
    case 5: return 8;
    case 6: return 6;
    default: return 1;
    }
}

void setTextIfAny(MetadataList& list, uint16_t tag, const char* text, size_t capacity)
{
    const size_t length = strnlen(text, capacity);
    if (length > 0)
        list.setText(tag, std::string(text, length));
}

std::unique_ptr<MetadataList> readMetadata(const RawDecoder& decoder, bool applyOrientation)
{
    const libraw_data_t& data = decoder.processor->imgdata;
    auto list = std::make_unique<MetadataList>();
    setTextIfAny(*list, tags::Make, data.idata.make, sizeof data.idata.make);
    setTextIfAny(*list, tags::Model, data.idata.model, sizeof data.idata.model);
    const time_t stamp = data.other.timestamp;
    std::tm local {};
    if (stamp != 0 && localtime_r(&stamp, &local)) {
        char text[24];
        if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) > 0) {
            list->setText(tags::DateTime, text);
            list->setText(tags::DateTimeOriginal, text);
        }
    }
    const float flash = data.color.flash_used;
    list->setShort(tags::Flash, flash >= 0.0f && flash <= 95.0f && flash == std::floor(flash) ? static_cast<uint16_t>(flash) : 0);
    if (decoder.hasExposureBias && decoder.exposureBias >= -7.0f && decoder.exposureBias <= 7.0f)
        list->setFloat(tags::ExposureBiasValue, decoder.exposureBias);
    const float aperture = data.other.aperture;
    if (aperture > 0.0f) {
        list->setFloat(tags::FNumber, aperture);
        list->setFloat(tags::ApertureValue, static_cast<float>(std::log(aperture) / std::log(1.41421356)));
    }
    if (data.other.focal_len > 0.0f)
        list->setFloat(tags::FocalLength, data.other.focal_len);
    const float iso = data.other.iso_speed;
    list->setShort(tags::ISOSpeedRatings, iso >= 65535.0f ? 65535 : iso > 0.0f ? static_cast<uint16_t>(iso) : 0);
    if (data.other.shutter > 0.0f)
        list->setFloat(tags::ExposureTime, data.other.shutter);
    list->setShort(tags::Orientation, applyOrientation ? 1 : orientationOfFlip(decoder.flip));
    list->setFloat(tags::XResolution, 300.0f);
    list->setFloat(tags::YResolution, 300.0f);
    setTextIfAny(*list, tags::LensMake, data.lens.LensMake, sizeof data.lens.LensMake);
    setTextIfAny(*list, tags::LensModel, data.lens.Lens, sizeof data.lens.Lens);
    setTextIfAny(*list, tags::LensSerialNumber, data.lens.LensSerial, sizeof data.lens.LensSerial);
    if (data.lens.FocalLengthIn35mmFormat != 0)
        list->setShort(tags::FocalLengthIn35mmFilm, data.lens.FocalLengthIn35mmFormat);
    return list;
}

// Shortest text that reads back as exactly the same value.
std::string exactText(double value)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

class InputFile {
public:
    explicit InputFile(const std::wstring& path)
        // Non-blocking, so that a named pipe is refused instead of waiting for a writer.
        : m_fd(::open(velpath::toUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
        struct stat info {};
        if (m_fd >= 0 && ::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
            static_cast<uint64_t>(info.st_size) < kMaxRawFileBytes)
            m_size = static_cast<uint64_t>(info.st_size);
    }
    ~InputFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    bool readable() const { return m_size > 0; }
    int fd() const { return m_fd; }
    uint64_t size() const { return m_size; }

private:
    int m_fd;
    uint64_t m_size = 0;
};

bool decodeInProgram(const std::string& program, const std::wstring& path, int colorSetting, double gamma0,
                     double gamma1, bool applyOrientation, RawImage& image,
                     const std::function<bool()>& stopRequested, RowSink* sink)
{
    const InputFile file(path);
    if (!file.readable())
        return false;
    velraw::DecoderProcess decoder(program,
                                   {"frame", std::to_string(colorSetting), exactText(gamma0), exactText(gamma1),
                                    applyOrientation ? "1" : "0"},
                                   file.fd(), velraw::decodeTimeLimit(file.size()), stopRequested);
    const velraw::ReplyReader read = [&](void* into, size_t count) { return decoder.read(into, count); };
    if (readRawReply(read, image, sink) && velraw::readReplyEnd(read))
        return decoder.finish() == velraw::kExitDecoded;
    // Memory running out in the program is reported as it would be here.
    if (decoder.outputEnded() && decoder.finish() == velraw::kExitOutOfMemory)
        throw std::bad_alloc();
    return false;
}

}  // namespace

bool decodeRaw(const uint8_t* data, size_t size, int colorSetting, double gamma0, double gamma1,
               bool applyOrientation, RawImage& image)
{
    if (!data || size == 0)
        return false;
    RawDecoder decoder;
    LibRaw& processor = *decoder.processor;
    processor.set_exifparser_handler(watchExif, &decoder);
    // LibRaw reports damaged data on stderr by default; the engine shows nothing of its libraries.
    processor.set_dataerror_handler(ignoreDataError, nullptr);
    // LibRaw reads the buffer only; its interface just lacks const.
    if (processor.open_buffer(const_cast<uint8_t*>(data), size) != LIBRAW_SUCCESS)
        return false;
    const libraw_image_sizes_t& sizes = processor.imgdata.sizes;
    if (!saneDimensions(sizes.raw_width, sizes.raw_height) || !saneDimensions(sizes.width, sizes.height) ||
        uint64_t{sizes.raw_width} * sizes.raw_height > size * kMaxRawPixelsPerByte)
        return false;
    if (processor.unpack() != LIBRAW_SUCCESS)
        return false;
    // Processing replaces the camera's flip with the one asked for: keep the camera's.
    decoder.flip = sizes.flip;
    setOutputParameters(processor.imgdata.params, colorSetting, gamma0, gamma1, applyOrientation);
    if (processor.dcraw_process() != LIBRAW_SUCCESS || !copyPixels(processor, image))
        return false;
    image.setMetadata(readMetadata(decoder, applyOrientation));
    return true;
}

bool loadRaw(const std::wstring& path, int colorSetting, double gamma0, double gamma1, bool applyOrientation,
             RawImage& image, const std::function<bool()>& stopRequested, RowSink* sink)
{
    const std::string program = velraw::decoderProgramPath();
    if (!program.empty())
        return decodeInProgram(program, path, colorSetting, gamma0, gamma1, applyOrientation, image, stopRequested,
                               sink);
    // An installation without the decoding program still reads RAW files, here, at the risk that
    // a damaged one takes the whole process down.
    FileMemory file;
    if (!file.loadFromFile(path.c_str()) ||
        !decodeRaw(file.getContent(), file.getSize(), colorSetting, gamma0, gamma1, applyOrientation, image))
        return false;
    // LibRaw hands the pixels over whole: the sink sees them all at once.
    if (sink) {
        sink->begin(image);
        sink->rowsDecoded(image.height());
        sink->finish();
    }
    return true;
}

}  // namespace velimage
