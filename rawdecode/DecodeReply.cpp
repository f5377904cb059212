#include "DecodeReply.h"

#include <unistd.h>

#include <cerrno>

namespace velraw {

namespace {

constexpr uint32_t kReplyMagic = 0x31445256;  // "VRD1": a reply of this layout
constexpr uint32_t kReplyEnd = 0x444E4556;    // "VEND"

bool withinLimits(const ReplyHeader& header, const ReplyLimits& limits)
{
    const int64_t width = header.width, height = header.height;
    return header.magic == kReplyMagic && width > 0 && height > 0 && width <= limits.maxSide &&
           height <= limits.maxSide && width * height <= limits.maxPixels && header.channels >= limits.minChannels &&
           header.channels <= limits.maxChannels && header.bytesPerSample == limits.bytesPerSample &&
           header.metadataBytes <= limits.maxMetadataBytes;
}

}  // namespace

bool writeAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool writeReplyHeader(int fd, uint32_t width, uint32_t height, uint32_t channels, uint32_t bytesPerSample,
                      uint32_t metadataBytes)
{
    const ReplyHeader header{kReplyMagic, width, height, channels, bytesPerSample, metadataBytes};
    return writeAll(fd, &header, sizeof header);
}

bool writeReplyEnd(int fd) { return writeAll(fd, &kReplyEnd, sizeof kReplyEnd); }

std::optional<ReplyHeader> readReplyHeader(const ReplyReader& read, const ReplyLimits& limits)
{
    ReplyHeader header;
    if (!read(&header, sizeof header) || !withinLimits(header, limits))
        return std::nullopt;
    return header;
}

bool readReplyEnd(const ReplyReader& read)
{
    uint32_t mark = 0;
    return read(&mark, sizeof mark) && mark == kReplyEnd;
}

}  // namespace velraw
