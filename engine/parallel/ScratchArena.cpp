#include "parallel/ScratchArena.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace velmem {

namespace {

constexpr size_t CacheLine = 64;

}  // namespace

ScratchArena::ScratchArena(size_t bytes) noexcept
{
    if (bytes == 0 || bytes > static_cast<size_t>(-1) - CacheLine)
        return;
    try {
        // Large enough to be a kept block, whose pages are mapped already.
        m_block = allocateBuffer<unsigned char>(std::max(bytes + CacheLine, SmallestKeptBlock));
    } catch (const std::bad_alloc&) {
        return;
    }
    const size_t skip = (CacheLine - reinterpret_cast<uintptr_t>(m_block.get()) % CacheLine) % CacheLine;
    m_start = m_block.get() + skip;
    m_size = bytes;
}

void* ScratchArena::take(size_t bytes) noexcept
{
    if (bytes > m_size)
        return nullptr;
    const size_t rounded = (bytes + CacheLine - 1) / CacheLine * CacheLine;
    size_t used = m_used.load(std::memory_order_relaxed);
    do {
        if (rounded > m_size - used)
            return nullptr;
    } while (!m_used.compare_exchange_weak(used, used + rounded, std::memory_order_relaxed));
    return m_start + used;
}

bool ScratchArena::holds(const void* memory) const noexcept
{
    const unsigned char* p = static_cast<const unsigned char*>(memory);
    return m_size > 0 && p >= m_start && p < m_start + m_size;
}

}  // namespace velmem
