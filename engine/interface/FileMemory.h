#pragma once

#include <cstdint>

#include "VelostarExport.h"

// A whole file in memory. Owns its buffer; not copyable. Not thread-safe: one owner at a time.
class VELOSTAR_API FileMemory {
public:
    FileMemory() = default;
    ~FileMemory();
    FileMemory(const FileMemory&) = delete;
    FileMemory& operator=(const FileMemory&) = delete;

    // Keeps the buffer when it already holds `size` bytes, else reallocates exactly `size`.
    void reserveContent(uint64_t size);
    // Shrinks the logical size; never grows it.
    void truncate(uint64_t size);
    uint8_t* getContent() { return m_content; }
    const uint8_t* getContent() const { return m_content; }
    uint64_t getSize() const { return m_size; }

    // Reads the whole file plus `extra` spare bytes after it. Files of 4 GiB or more fail.
    bool loadFromFile(const wchar_t* path, uint64_t extra = 0);
    // Without `overwrite`, an existing name is kept and "name(N).ext" (N = 1..99) is written.
    bool saveToFile(const wchar_t* path, bool overwrite);

private:
    void freeContent();

    uint8_t* m_content = nullptr;
    uint64_t m_size = 0;
    uint64_t m_allocated = 0;  // what the buffer was allocated with; truncate leaves it
};
