#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parallel/LargeBuffer.h"

using namespace velmem;

namespace {

constexpr size_t kFrameBytes = size_t{24} << 20;  // well above the frame-size threshold

}  // namespace

TEST(LargeBuffer, ReleasedFrameBlockServesTheNextRequestOfItsSize)
{
    releaseSpareBlocks();
    auto first = allocateBuffer<uint16_t>(kFrameBytes / 2);
    std::memset(first.get(), 0x5A, kFrameBytes);  // every byte writable
    const void* address = first.get();
    first.reset();
    EXPECT_GE(spareBytes(), kFrameBytes);

    auto other = allocateBuffer<uint8_t>(kFrameBytes * 2);  // another size leaves it kept
    EXPECT_NE(static_cast<const void*>(other.get()), address);
    auto again = allocateBuffer<uint8_t>(kFrameBytes - 100);  // same rounded size takes it
    EXPECT_EQ(static_cast<const void*>(again.get()), address);
    EXPECT_EQ(spareBytes(), 0u);

    again.reset();
    other.reset();
    releaseSpareBlocks();
    EXPECT_EQ(spareBytes(), 0u);
}

TEST(LargeBuffer, KeepsOnlyAFewFrameBlocksAndNoSmallOnes)
{
    releaseSpareBlocks();
    allocateBuffer<uint8_t>(1000).reset();
    EXPECT_EQ(spareBytes(), 0u);

    std::vector<Buffer<uint8_t>> blocks;
    for (int i = 0; i < 8; ++i)
        blocks.push_back(allocateBuffer<uint8_t>(kFrameBytes));
    blocks.clear();
    EXPECT_GT(spareBytes(), 0u);
    EXPECT_LE(spareBytes(), 4 * kFrameBytes);
    releaseSpareBlocks();
    EXPECT_EQ(spareBytes(), 0u);
}

TEST(LargeBuffer, KeepsAWholeStoreWhenAskedAndTrimsBackAfterwards)
{
    releaseSpareBlocks();
    keepSpareBlocksFor(8, 8 * (kFrameBytes + (size_t{2} << 20)));
    std::vector<Buffer<uint8_t>> blocks;
    std::vector<const void*> addresses;
    for (int i = 0; i < 8; ++i) {
        blocks.push_back(allocateBuffer<uint8_t>(kFrameBytes));
        addresses.push_back(blocks.back().get());
    }
    blocks.clear();
    EXPECT_GE(spareBytes(), 8 * kFrameBytes);
    // The next window's store is made of the same blocks.
    for (int i = 0; i < 8; ++i) {
        blocks.push_back(allocateBuffer<uint8_t>(kFrameBytes));
        EXPECT_NE(std::find(addresses.begin(), addresses.end(), blocks.back().get()), addresses.end()) << i;
    }
    blocks.clear();
    setSpareByteLimit(DefaultSpareByteLimit);
    EXPECT_LE(spareBytes(), 4 * kFrameBytes + (size_t{8} << 20));
    releaseSpareBlocks();
}

TEST(LargeBuffer, ImpossibleSizesThrowBadAlloc)
{
    EXPECT_THROW(allocateBuffer<uint64_t>(SIZE_MAX / 4), std::bad_alloc);
    EXPECT_THROW(allocateBytes(SIZE_MAX - 10), std::bad_alloc);
    EXPECT_EQ(spareBytes(), 0u);
}
