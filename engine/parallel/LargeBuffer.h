#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

// AddressSanitizer sees leaks and overruns only of whole malloc'd blocks, so its builds keep
// whole blocks and reuse them at their own size only.
#if defined(__SANITIZE_ADDRESS__)
#define VELMEM_WHOLE_SPARE_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMEM_WHOLE_SPARE_BLOCKS 1
#endif
#endif
#ifndef VELMEM_WHOLE_SPARE_BLOCKS
#define VELMEM_WHOLE_SPARE_BLOCKS 0
#endif

namespace velmem {

// Whether a kept block may serve a smaller request, a piece of it at a time.
inline constexpr bool SplitsSpareBlocks = !VELMEM_WHOLE_SPARE_BLOCKS;

// The smallest block that is placed and kept as below; smaller ones come from the heap.
inline constexpr size_t SmallestKeptBlock = size_t{8} << 20;

// Uninitialised storage of `bytes` bytes (at least one); throws std::bad_alloc. Blocks of frame
// size are placed on 2 MiB boundaries, whole huge pages long, so that kept blocks and their pieces
// match each other. Release with releaseBytes and the same byte count only (never std::free: a
// frame-sized block may be a piece of a larger mapping).
void* allocateBytes(size_t bytes);

// Frees a block from allocateBytes. A frame-sized block may instead be kept for a later request:
// a run allocates the same frame sizes over and over, and a kept block spares the system zeroing
// fresh pages again. A request takes a kept block of its size, else the front of the smallest
// larger one (the rest stays kept); pieces of one block join again when they come back. At most a
// few blocks are kept.
void releaseBytes(void* block, size_t bytes) noexcept;

// Frees every kept block (at the end of a run, and before giving up on an allocation).
void releaseSpareBlocks() noexcept;
// Caps the bytes kept in spare blocks (at most a few blocks), freeing any beyond the cap; the cap
// starts at (and never exceeds) 1 GiB. A run that is short of memory keeps none.
void setSpareByteLimit(size_t bytes) noexcept;
constexpr size_t DefaultSpareByteLimit = size_t{1} << 30;
// Raises the limits by `blocks` blocks and `bytes` bytes above the default ones, for a run that
// will ask for the same blocks again (a time-lapse store for its next window). The next
// setSpareByteLimit returns to the default count and frees what lies beyond.
void keepSpareBlocksFor(size_t blocks, size_t bytes) noexcept;
// Bytes held in kept blocks.
size_t spareBytes() noexcept;

struct FreeBytes {
    size_t bytes = 0;
    void operator()(void* block) const noexcept { releaseBytes(block, bytes); }
};

template <typename T>
using Buffer = std::unique_ptr<T[], FreeBytes>;

// Uninitialised array of `count` elements of a trivial type; throws std::bad_alloc, also when the
// byte count overflows.
template <typename T>
Buffer<T> allocateBuffer(size_t count)
{
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>,
                  "large buffers hold plain samples only");
    if (count > static_cast<size_t>(-1) / sizeof(T))
        throw std::bad_alloc();
    return Buffer<T>(static_cast<T*>(allocateBytes(count * sizeof(T))), FreeBytes{count * sizeof(T)});
}

}  // namespace velmem
