#include "ReadOnlyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velapp {

ReadOnlyFile::ReadOnlyFile(const std::string& utf8Path)
{
    if (utf8Path.empty())
        return;
    // Non-blocking, so that opening a named pipe returns at once; it is then refused as not
    // regular. Regular files read the same either way.
    const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        ::close(fd);
        return;
    }
    // Reads of a regular file never return early, so blocking mode costs nothing from here on.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    m_size = static_cast<uint64_t>(info.st_size);
}

ReadOnlyFile::~ReadOnlyFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ReadOnlyFile::readAt(uint64_t offset, void* into, size_t count) const
{
    if (m_fd < 0 || offset > m_size || count > m_size - offset)
        return false;
    auto* bytes = static_cast<unsigned char*>(into);
    while (count > 0) {
        const ssize_t got = ::pread(m_fd, bytes, count, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return false;  // the file shrank under us
        bytes += got;
        offset += static_cast<uint64_t>(got);
        count -= static_cast<size_t>(got);
    }
    return true;
}

int ReadOnlyFile::release()
{
    const int fd = m_fd;
    m_fd = -1;
    m_size = 0;
    return fd;
}

}  // namespace velapp
