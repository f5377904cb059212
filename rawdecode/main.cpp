// velostar-rawdecode: decodes one camera RAW file in a process of its own, so that a damaged
// file which crashes or hangs LibRaw takes only this process down. The engine and the desktop
// program start it; it is no tool for people.
//
//   velostar-rawdecode frame COLOUR GAMMA0 GAMMA1 ORIENTATION   a 16-bit frame with metadata
//   velostar-rawdecode preview MAX_PIXELS                        the desktop program's 8-bit preview
//
// The file is standard input (a regular file); the reply (DecodeReply.h) goes to standard output.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "DecodeReply.h"
#include "PreviewRawDecoding.h"
#include "image/RawReader.h"
#include "image/RawReply.h"

namespace {

// Files are read whole, in one 32-bit read, as the engine reads them.
constexpr uint64_t kMaxInputBytes = 0xFFFFFFFFull;

// The whole file, left uninitialised until read: zeroing it first would cost as much again.
struct Input {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
};

// From offset 0 whatever the shared file position: the caller may have read the file itself.
bool readInput(Input& input)
{
    struct stat info {};
    if (::fstat(0, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        static_cast<uint64_t>(info.st_size) >= kMaxInputBytes)
        return false;
    input.size = static_cast<size_t>(info.st_size);
    input.bytes = std::make_unique_for_overwrite<uint8_t[]>(input.size);
    size_t done = 0;
    while (done < input.size) {
        const ssize_t got = ::pread(0, input.bytes.get() + done, input.size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

template <typename T>
bool parse(std::string_view text, T& value)
{
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

int decodeFrame(char** arguments)
{
    int colorSetting = 0, orientation = 0;
    double gamma0 = 0.0, gamma1 = 0.0;
    if (!parse(arguments[0], colorSetting) || !parse(arguments[1], gamma0) || !parse(arguments[2], gamma1) ||
        !parse(arguments[3], orientation))
        return velraw::kExitBadUsage;
    Input input;
    velimage::RawImage image;
    if (!readInput(input) ||
        !velimage::decodeRaw(input.bytes.get(), input.size, colorSetting, gamma0, gamma1, orientation != 0, image))
        return velraw::kExitUndecodable;
    input = {};
    return velimage::writeRawReply(1, image) ? velraw::kExitDecoded : velraw::kExitUndecodable;
}

int decodePreview(char** arguments)
{
    int64_t maxPixels = 0;
    if (!parse(arguments[0], maxPixels))
        return velraw::kExitBadUsage;
    Input input;
    std::unique_ptr<unsigned char[]> pixels;
    int width = 0, height = 0;
    const auto into = [&](int w, int h) {
        width = w;
        height = h;
        pixels = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(w) * h * 3);
        return pixels.get();
    };
    if (!readInput(input) || !velraw::decodeRawPreviewPixels(input.bytes.get(), input.size, maxPixels, {}, into))
        return velraw::kExitUndecodable;
    const bool written =
        velraw::writeReplyHeader(1, static_cast<uint32_t>(width), static_cast<uint32_t>(height), 3, 1, 0) &&
        velraw::writeAll(1, pixels.get(), static_cast<size_t>(width) * height * 3) && velraw::writeReplyEnd(1);
    return written ? velraw::kExitDecoded : velraw::kExitUndecodable;
}

}  // namespace

int main(int argc, char** argv)
{
    // The caller's thread waits for this process; should the caller die, nothing waits any more.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    try {
        const std::string_view mode = argc > 1 ? argv[1] : "";
        if (mode == "frame" && argc == 6)
            return decodeFrame(argv + 2);
        if (mode == "preview" && argc == 3)
            return decodePreview(argv + 2);
        return velraw::kExitBadUsage;
    } catch (const std::bad_alloc&) {
        return velraw::kExitOutOfMemory;
    } catch (...) {
        return velraw::kExitUndecodable;
    }
}
