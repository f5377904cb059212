#include "support/RawDecodeChecks.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "DngWriter.h"
#include "TiffBuilder.h"
#include "support/TempDir.h"

namespace veltest {

namespace {

std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The count of `tag` in the first directory of a little-endian TIFF.
void setEntryCount(std::vector<uint8_t>& bytes, uint16_t tag, uint32_t count)
{
    const size_t directory = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | size_t(bytes[7]) << 24;
    const size_t entries = bytes[directory] | bytes[directory + 1] << 8;
    for (size_t i = 0; i < entries; ++i) {
        const size_t entry = directory + 2 + 12 * i;
        if ((bytes[entry] | bytes[entry + 1] << 8) == tag)
            for (int b = 0; b < 4; ++b)
                bytes[entry + 4 + b] = static_cast<uint8_t>(count >> (8 * b));
    }
}

}  // namespace

std::vector<CrashingRawFile> crashingRawFiles()
{
    // Its directory parser reads a CFAPattern of 36 entries into room for a 2 × 2 pattern.
    veldng::DngFrame frame;
    frame.width = 64;
    frame.height = 48;
    frame.mosaic.assign(64 * 48, 9000);
    std::vector<uint8_t> dng = veldng::encodeDng(frame);
    setEntryCount(dng, 0x828E, 36);

    // Its camera-model parsing overflows a buffer on this maker's name with a binary model.
    veldng::TiffDirectory directory;
    directory.longs(256, {64});
    directory.longs(257, {48});
    directory.shorts(258, {16});
    directory.ascii(271, "Hasselblad");
    std::vector<uint8_t> model;
    for (int i = 0; i < 64; ++i)
        model.push_back(static_cast<uint8_t>(0x80 + i));
    directory.bytes(272, model);
    return {{"overlong-pattern.dng", text(dng)}, {"binary-model.3fr", text(veldng::buildTiff(directory))}};
}

DecoderProgramOverride::DecoderProgramOverride(const std::string& program)
{
    if (const char* previous = std::getenv("VELOSTAR_RAWDECODE")) {
        m_hadValue = true;
        m_previous = previous;
    }
    ::setenv("VELOSTAR_RAWDECODE", program.c_str(), 1);
}

DecoderProgramOverride::~DecoderProgramOverride()
{
    if (m_hadValue)
        ::setenv("VELOSTAR_RAWDECODE", m_previous.c_str(), 1);
    else
        ::unsetenv("VELOSTAR_RAWDECODE");
}

bool writeScript(const std::string& path, const std::string& body)
{
    return writeBytes(path, "#!/bin/sh\n" + body + "\n") && ::chmod(path.c_str(), 0700) == 0;
}

bool noChildProcesses() { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

int openDescriptorCount()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

}  // namespace veltest
