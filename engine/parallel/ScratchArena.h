#pragma once

#include <atomic>
#include <cstddef>

#include "parallel/LargeBuffer.h"

namespace velmem {

// Working memory of one computation, carved in turn from one block of allocateBytes: in a run
// that block is mostly a frame's kept one, whose pages are mapped already. A computation of many
// plane-sized passes spends about as long faulting in fresh pages on virtual machines as on its
// arithmetic. Any thread may take from it; nothing taken is given back until the arena ends, and
// a request that no longer fits is refused (the caller takes it from the heap).
class ScratchArena {
public:
    // An arena of `bytes` (none when they cannot be had: every take is refused).
    explicit ScratchArena(size_t bytes) noexcept;
    ScratchArena(const ScratchArena&) = delete;
    ScratchArena& operator=(const ScratchArena&) = delete;

    // `bytes` aligned to a cache line, or nullptr when they do not fit.
    void* take(size_t bytes) noexcept;
    bool holds(const void* memory) const noexcept;
    size_t capacity() const noexcept { return m_size; }

private:
    Buffer<unsigned char> m_block;
    unsigned char* m_start = nullptr;  // the block's first cache line boundary
    size_t m_size = 0;
    std::atomic<size_t> m_used{0};
};

}  // namespace velmem
