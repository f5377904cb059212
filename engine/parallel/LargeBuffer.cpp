#include "parallel/LargeBuffer.h"

#include <sys/mman.h>

namespace velmem {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// Below this the rounding to whole huge pages would waste more than it saves.
constexpr size_t kHugeThreshold = size_t{8} << 20;

}  // namespace

void* allocateBytes(size_t bytes)
{
    if (bytes < kHugeThreshold) {
        void* block = std::malloc(bytes > 0 ? bytes : 1);
        if (!block)
            throw std::bad_alloc();
        return block;
    }
    if (bytes > static_cast<size_t>(-1) - kHugePage)
        throw std::bad_alloc();
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (!block)
        throw std::bad_alloc();
    // Only advice: where huge pages are off, the block works the same with small pages.
    ::madvise(block, rounded, MADV_HUGEPAGE);
    return block;
}

}  // namespace velmem
