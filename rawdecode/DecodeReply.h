#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace velraw {

// What the decoding program writes to its standard output after a successful decode: the
// header, `metadataBytes` of metadata, the pixels (rows from the top, channels interleaved,
// samples in the machine's byte order: program and caller come from one build), then the end
// mark, and exits with kExitDecoded. After a failed decode it writes nothing.
struct ReplyHeader {
    uint32_t magic = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 0;
    uint32_t bytesPerSample = 0;
    uint32_t metadataBytes = 0;

    uint64_t pixelBytes() const { return uint64_t{width} * height * channels * bytesPerSample; }
};

// What the caller accepts. The header is checked against it before anything is allocated.
struct ReplyLimits {
    int64_t maxSide = 0;
    int64_t maxPixels = 0;
    uint32_t minChannels = 0;
    uint32_t maxChannels = 0;
    uint32_t bytesPerSample = 0;
    uint32_t maxMetadataBytes = 0;
};

// Exit statuses of the decoding program. Out of memory is told apart so that the caller can
// report it as such rather than as an unreadable file.
constexpr int kExitDecoded = 0;
constexpr int kExitUndecodable = 1;
constexpr int kExitOutOfMemory = 3;
constexpr int kExitBadUsage = 64;

// Exactly `count` bytes of the reply into `into`; false when they cannot be had.
using ReplyReader = std::function<bool(void* into, size_t count)>;

// The program's side. False when the output cannot take every byte.
bool writeAll(int fd, const void* data, size_t size);
bool writeReplyHeader(int fd, uint32_t width, uint32_t height, uint32_t channels, uint32_t bytesPerSample,
                      uint32_t metadataBytes);
bool writeReplyEnd(int fd);

// The caller's side: the header if it is one and lies within the limits.
std::optional<ReplyHeader> readReplyHeader(const ReplyReader& read, const ReplyLimits& limits);
bool readReplyEnd(const ReplyReader& read);

}  // namespace velraw
