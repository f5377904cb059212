#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velapp {

// A regular file opened for reading by one owner. Anything else (a directory, a named pipe, a
// device) is refused at open, so that a reader never blocks waiting for a writer. Not shared
// between threads.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::string& utf8Path);
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    uint64_t size() const { return m_size; }
    // Still owned by this object; for handing to a child process.
    int descriptor() const { return m_fd; }
    // Exactly `count` bytes from `offset`; false when the file ends earlier or a read fails.
    bool readAt(uint64_t offset, void* into, size_t count) const;
    // Hands the descriptor to a new owner, which must close it; this object is closed after.
    int release();

private:
    int m_fd = -1;
    uint64_t m_size = 0;
};

}  // namespace velapp
