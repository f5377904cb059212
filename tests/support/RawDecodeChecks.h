#pragma once

#include <string>
#include <vector>

namespace veltest {

// RAW files that crash the installed LibRaw when it decodes them in the calling process.
struct CrashingRawFile {
    std::string name;
    std::string bytes;
};
std::vector<CrashingRawFile> crashingRawFiles();

// Makes `program` the decoding program for this scope; empty: none, so RAW files are decoded in
// the calling process. Threads that decode must start after it and end before it does.
class DecoderProgramOverride {
public:
    explicit DecoderProgramOverride(const std::string& program);
    ~DecoderProgramOverride();
    DecoderProgramOverride(const DecoderProgramOverride&) = delete;
    DecoderProgramOverride& operator=(const DecoderProgramOverride&) = delete;

private:
    bool m_hadValue = false;
    std::string m_previous;
};

// Writes an executable shell script: "#!/bin/sh" and `body`.
bool writeScript(const std::string& path, const std::string& body);

// True when this process has no child process, running or unreaped.
bool noChildProcesses();
int openDescriptorCount();

}  // namespace veltest
