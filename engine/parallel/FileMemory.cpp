#include "FileMemory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>
#include <new>
#include <string>

#include "parallel/LargeBuffer.h"
#include "parallel/WholeFile.h"
#include "parallel/WidePath.h"

namespace {

constexpr size_t kMaxPathChars = 511;
constexpr uint64_t kMaxFileBytes = 0xFFFFFFFFull;  // one 32-bit read

bool readAll(int fd, uint8_t* bytes, uint64_t size)
{
    while (size > 0) {
        const ssize_t got = ::read(fd, bytes, size);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return false;  // the file shrank under us
        bytes += got;
        size -= static_cast<uint64_t>(got);
    }
    return true;
}

class FileHandle {
public:
    explicit FileHandle(int fd) : m_fd(fd) {}
    ~FileHandle() { if (m_fd >= 0) ::close(m_fd); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

FileMemory::~FileMemory() { freeContent(); }

void FileMemory::freeContent()
{
    velmem::releaseBytes(m_content, m_allocated);
    m_content = nullptr;
    m_size = 0;
    m_allocated = 0;
}

void FileMemory::reserveContent(uint64_t size)
{
    if (m_content && m_size >= size)
        return;
    freeContent();
    if (size > 0) {
        m_content = static_cast<uint8_t*>(velmem::allocateBytes(size));
        m_allocated = size;
    }
    m_size = size;
}

void FileMemory::truncate(uint64_t size)
{
    if (m_content && size < m_size)
        m_size = size;
}

bool FileMemory::loadFromFile(const wchar_t* path, uint64_t extra)
{
    freeContent();
    if (!path)
        return false;
    // Non-blocking, so that a named pipe given as an image is refused instead of waiting for a
    // writer; regular files read the same either way.
    FileHandle file(::open(velpath::toUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
        return false;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const auto fileSize = static_cast<uint64_t>(info.st_size);
    if (fileSize >= kMaxFileBytes || extra > kMaxFileBytes)
        return false;
    m_content = static_cast<uint8_t*>(velmem::allocateBytes(fileSize + extra));
    m_allocated = fileSize + extra;
    if (!readAll(file.get(), m_content, fileSize)) {
        freeContent();
        return false;
    }
    m_size = fileSize;
    return true;
}

bool FileMemory::saveToFile(const wchar_t* path, bool overwrite)
{
    if (!m_content || !path)
        return false;
    const std::wstring target(path);
    if (target.empty() || target.size() > kMaxPathChars)
        return false;
    if (overwrite || !velpath::fileExists(target))
        return velfile::writeWholeFile(target, m_content, m_size);

    // Keep the existing file: insert "(N)" before the extension's dot.
    const size_t nameStart = target.size() - velpath::fileNamePart(std::wstring_view(target)).size();
    const size_t dot = target.rfind(L'.');
    if (dot == std::wstring::npos || dot < nameStart)
        return false;
    for (int n = 1; n <= 99; ++n) {
        wchar_t number[8];
        std::swprintf(number, 8, L"(%d)", n);
        const std::wstring candidate = target.substr(0, dot) + number + target.substr(dot);
        if (candidate.size() > kMaxPathChars)
            return false;
        if (!velpath::fileExists(candidate))
            return velfile::writeWholeFile(candidate, m_content, m_size);
    }
    return false;
}
