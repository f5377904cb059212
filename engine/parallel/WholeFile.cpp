#include "parallel/WholeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "parallel/WidePath.h"

namespace velfile {
namespace {

bool writeAll(int fd, const unsigned char* bytes, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool writeWholeFile(const std::wstring& path, const void* data, size_t size, bool flush)
{
    if (!data && size > 0)
        return false;
    const std::string name = velpath::toUtf8(path);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, static_cast<const unsigned char*>(data), size);
    if (ok && flush)
        ok = ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok)
        ::unlink(name.c_str());  // never leave a short file that looks complete
    return ok;
}

}  // namespace velfile
