#include "ProjectBytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velapp {

namespace {

// A project nests three deep (root, element, path or coordinate).
constexpr int kMaxDepth = 32;

struct FileHandle {
    int fd;
    explicit FileHandle(int descriptor) : fd(descriptor) {}
    ~FileHandle()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
};

bool startsWith(std::string_view text, size_t at, std::string_view prefix)
{
    return text.compare(at, prefix.size(), prefix) == 0;
}

// Position after the end of a tag that opens at `at`, skipping quoted attribute values.
size_t tagEnd(std::string_view text, size_t at)
{
    char quote = 0;
    for (size_t i = at + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i + 1;
        }
    }
    return std::string_view::npos;
}

size_t after(std::string_view text, size_t from, std::string_view end)
{
    const size_t found = text.find(end, from);
    return found == std::string_view::npos ? found : found + end.size();
}

}  // namespace

bool readProjectBytes(const std::string& path, std::string& bytes, std::string& reason)
{
    // Non-blocking, so that a named pipe given as a project cannot stall the program.
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (file.fd < 0 || ::fstat(file.fd, &info) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : "not a regular file";
        return false;
    }
    if (static_cast<unsigned long long>(info.st_size) > kMaxProjectBytes) {
        reason = "larger than any project file";
        return false;
    }
    // The size may change while reading; never take more than the limit.
    bytes.assign(static_cast<size_t>(info.st_size) + 1, '\0');
    size_t got = 0;
    for (;;) {
        if (got == bytes.size())
            bytes.resize(std::min(bytes.size() * 2, kMaxProjectBytes + 1));
        const ssize_t n = ::read(file.fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            reason = std::strerror(errno);
            return false;
        }
        got += static_cast<size_t>(n);
        if (n == 0 || got > kMaxProjectBytes)
            break;
    }
    if (got > kMaxProjectBytes) {
        reason = "larger than any project file";
        return false;
    }
    bytes.resize(got);
    return true;
}

bool hasProjectShape(std::string_view text)
{
    int depth = 0;
    for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
        size_t next;
        if (startsWith(text, at, "<!--")) {
            next = after(text, at + 4, "-->");
        } else if (startsWith(text, at, "<![CDATA[")) {
            next = after(text, at + 9, "]]>");
        } else if (startsWith(text, at, "<!")) {
            return false;
        } else if (startsWith(text, at, "<?")) {
            next = after(text, at + 2, "?>");
        } else {
            next = tagEnd(text, at);
            if (next == std::string_view::npos)
                break;
            if (text[at + 1] == '/')
                --depth;
            else if (text[next - 2] != '/' && ++depth > kMaxDepth)
                return false;
        }
        // What is left unclosed the parser rejects before building anything deeper.
        if (next == std::string_view::npos)
            break;
        at = next;
    }
    return true;
}

}  // namespace velapp
