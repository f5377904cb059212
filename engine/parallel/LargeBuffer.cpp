#include "parallel/LargeBuffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

namespace velmem {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// Below this the rounding to whole huge pages would waste more than it saves.
constexpr size_t kHugeThreshold = SmallestKeptBlock;
// What a run cycles through: the next frame's buffers while the last one's are released.
constexpr size_t kMaxSpareBlocks = 4;
constexpr size_t kMaxSpareBytes = size_t{1} << 30;
// The most blocks a run may ask to keep (a whole in-memory store between time-lapse windows).
constexpr size_t kSpareBlockCapacity = 256;

size_t roundedSize(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

struct Range {
    char* start = nullptr;
    size_t size = 0;

    char* end() const { return start + size; }
    bool contains(const Range& part) const { return part.start >= start && part.end() <= end(); }
};

#if VELMEM_WHOLE_SPARE_BLOCKS
void* mapRange(size_t rounded) noexcept { return std::aligned_alloc(kHugePage, rounded); }
void unmapRange(const Range& range) noexcept { std::free(range.start); }
#else
// Whole pages mapped here rather than by malloc, so that a kept block can be given back in parts.
void* mapRange(size_t rounded) noexcept
{
    const size_t mapped = rounded + kHugePage;  // room to trim the start to a 2 MiB boundary
    void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    char* start = static_cast<char*>(raw);
    const size_t head = (kHugePage - reinterpret_cast<uintptr_t>(start) % kHugePage) % kHugePage;
    if (head > 0)
        ::munmap(start, head);
    ::munmap(start + head + rounded, kHugePage - head);
    return start + head;
}
void unmapRange(const Range& range) noexcept { ::munmap(range.start, range.size); }
#endif

// A mapping that has served smaller requests: its pieces come back one by one and join again.
struct SplitMapping {
    Range range;
    size_t mappedBytes = 0;  // not yet given back to the system
};

// Every block the allocator maps is either a whole mapping or lies inside one split mapping, so
// blocks next to each other join only when they are pieces of one mapping: a kept block never
// grows beyond the mapping it came from.
struct SpareBlocks {
    std::mutex mutex;
    std::vector<Range> blocks;
    std::vector<SplitMapping> splits;
    size_t bytes = 0;
    size_t limit = kMaxSpareBytes;
    size_t blockLimit = kMaxSpareBlocks;

    SpareBlocks()
    {
        blocks.reserve(kSpareBlockCapacity);
        splits.reserve(kSpareBlockCapacity);
    }

    // The kept block of exactly `rounded` bytes, else the front of the smallest larger one.
    void* take(size_t rounded)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const size_t index = blockFor(rounded);
        if (index == blocks.size())
            return nullptr;
        Range& block = blocks[index];
        if (block.size == rounded) {
            char* start = block.start;
            removeLocked(index);
            return start;
        }
        if (!splitOf(block))
            splits.push_back({block, block.size});  // may throw: nothing has changed yet
        char* piece = block.start;
        block.start += rounded;
        block.size -= rounded;
        bytes -= rounded;
        if (block.size < kHugeThreshold) {
            const Range rest = block;
            removeLocked(index);
            unmapLocked(rest);
        }
        return piece;
    }

    // Keeps `range`, joined to the kept pieces of its mapping on either side, or unmaps it.
    void putBack(Range range) noexcept
    {
        std::lock_guard<std::mutex> lock(mutex);
        const size_t none = blocks.size();
        SplitMapping* split = splitOf(range);
        const size_t before = keptPiece(split, [&](const Range& b) { return b.end() == range.start; });
        const size_t after = keptPiece(split, [&](const Range& b) { return b.start == range.end(); });
        const bool joins = before != none || after != none;
        if (bytes + range.size > limit || (!joins && blocks.size() >= blockLimit)) {
            unmapLocked(range);
            return;
        }
        if (before != none) {
            range.start = blocks[before].start;
            range.size += blocks[before].size;
        }
        if (after != none)
            range.size += blocks[after].size;
        // The later index first, so that the earlier one still names its block.
        for (size_t index : {std::max(before, after), std::min(before, after)})
            if (index != none)
                removeLocked(index);
        blocks.push_back(range);  // within capacity: cannot throw
        bytes += range.size;
        if (split && split->range.start == range.start && split->range.size == range.size)
            splits.erase(splits.begin() + (split - splits.data()));  // a whole mapping again
    }

    void freeAll() noexcept
    {
        std::lock_guard<std::mutex> lock(mutex);
        while (!blocks.empty())
            unmapLastLocked();
    }

    // Frees blocks beyond the limits; the mutex is held.
    void trimLocked() noexcept
    {
        while (!blocks.empty() && (bytes > limit || blocks.size() > blockLimit))
            unmapLastLocked();
    }

private:
    size_t blockFor(size_t rounded) const
    {
        size_t best = blocks.size();
        for (size_t i = 0; i < blocks.size(); ++i) {
            if (blocks[i].size == rounded)
                return i;
            if (SplitsSpareBlocks && blocks[i].size > rounded
                && (best == blocks.size() || blocks[i].size < blocks[best].size))
                best = i;
        }
        return best;
    }

    // The kept piece of `split` that `adjacent` accepts, else blocks.size().
    template <typename Adjacent>
    size_t keptPiece(const SplitMapping* split, Adjacent adjacent) const
    {
        if (split)
            for (size_t i = 0; i < blocks.size(); ++i)
                if (adjacent(blocks[i]) && split->range.contains(blocks[i]))
                    return i;
        return blocks.size();
    }

    SplitMapping* splitOf(const Range& range) noexcept
    {
        for (SplitMapping& split : splits)
            if (split.range.contains(range))
                return &split;
        return nullptr;
    }

    void removeLocked(size_t index) noexcept
    {
        bytes -= blocks[index].size;
        blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(index));
    }

    void unmapLastLocked() noexcept
    {
        const Range block = blocks.back();
        removeLocked(blocks.size() - 1);
        unmapLocked(block);
    }

    void unmapLocked(const Range& range) noexcept
    {
        unmapRange(range);
        if (SplitMapping* split = splitOf(range)) {
            split->mappedBytes -= range.size;
            if (split->mappedBytes == 0)
                splits.erase(splits.begin() + (split - splits.data()));
        }
    }
};

// Never destroyed: worker threads release their buffers while static objects are torn down.
SpareBlocks& spares()
{
    static SpareBlocks* instance = new SpareBlocks;
    return *instance;
}

void* mapBlock(size_t rounded)
{
    void* block = mapRange(rounded);
    if (!block) {
        releaseSpareBlocks();  // kept blocks that cannot serve this request are the first memory to give up
        block = mapRange(rounded);
    }
    if (!block)
        throw std::bad_alloc();
    // No huge-page advice: on virtual machines that hand freed memory back to the host, faulting a
    // fresh 2 MiB page in cost about three times as much system time per byte as small pages did
    // (a "Select best pixels" run of 10 × 24 Mpx: 6.5 s against 2.2 s). The alignment still lets a
    // system that uses huge pages everywhere map the block with them.
    return block;
}

}  // namespace

void* allocateBytes(size_t bytes)
{
    if (bytes < kHugeThreshold) {
        void* block = std::malloc(bytes > 0 ? bytes : 1);
        if (!block)
            throw std::bad_alloc();
        return block;
    }
    if (bytes > static_cast<size_t>(-1) - 2 * kHugePage)  // room to round up and to align
        throw std::bad_alloc();
    const size_t rounded = roundedSize(bytes);
    if (void* block = spares().take(rounded))
        return block;
    return mapBlock(rounded);
}

void releaseBytes(void* block, size_t bytes) noexcept
{
    if (!block)
        return;
    if (bytes < kHugeThreshold)
        std::free(block);
    else
        spares().putBack({static_cast<char*>(block), roundedSize(bytes)});
}

void releaseSpareBlocks() noexcept { spares().freeAll(); }

void setSpareByteLimit(size_t bytes) noexcept
{
    SpareBlocks& kept = spares();
    std::lock_guard<std::mutex> lock(kept.mutex);
    kept.limit = std::min(bytes, kMaxSpareBytes);
    kept.blockLimit = kMaxSpareBlocks;
    kept.trimLocked();
}

void keepSpareBlocksFor(size_t blocks, size_t bytes) noexcept
{
    SpareBlocks& kept = spares();
    std::lock_guard<std::mutex> lock(kept.mutex);
    kept.blockLimit = std::min(kMaxSpareBlocks + blocks, kSpareBlockCapacity);
    kept.limit = kMaxSpareBytes + bytes;
    kept.trimLocked();
}

size_t spareBytes() noexcept
{
    std::lock_guard<std::mutex> lock(spares().mutex);
    return spares().bytes;
}

}  // namespace velmem
