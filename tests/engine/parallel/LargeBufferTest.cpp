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

TEST(LargeBuffer, LargerKeptBlockServesSmallerRequestsAndItsPiecesJoinAgain)
{
    if (!SplitsSpareBlocks)
        GTEST_SKIP() << "whole blocks only in this build";
    releaseSpareBlocks();
    constexpr size_t kRest = size_t{4} << 20;  // too small to keep
    auto whole = allocateBuffer<uint8_t>(3 * kFrameBytes + kRest);
    uint8_t* base = whole.get();
    whole.reset();
    ASSERT_EQ(spareBytes(), 3 * kFrameBytes + kRest);

    std::vector<Buffer<uint8_t>> pieces;
    for (size_t i = 0; i < 3; ++i) {
        pieces.push_back(allocateBuffer<uint8_t>(kFrameBytes - 100 * i));
        EXPECT_EQ(pieces.back().get(), base + i * kFrameBytes) << i;
        EXPECT_EQ(spareBytes(), i < 2 ? (2 - i) * kFrameBytes + kRest : 0u) << i;
        std::memset(pieces.back().get(), 0x5A, kFrameBytes - 100 * i);
    }
    // The outer pieces come back first and stay apart until the middle one joins them.
    pieces[0].reset();
    pieces[2].reset();
    EXPECT_EQ(spareBytes(), 2 * kFrameBytes);
    pieces[1].reset();
    EXPECT_EQ(spareBytes(), 3 * kFrameBytes);
    auto again = allocateBuffer<uint8_t>(3 * kFrameBytes);
    EXPECT_EQ(again.get(), base);
    EXPECT_EQ(spareBytes(), 0u);
    again.reset();
    releaseSpareBlocks();
}

TEST(LargeBuffer, KeptBlockOfTheRequestedSizeComesFirstThenTheSmallestLargerOne)
{
    if (!SplitsSpareBlocks)
        GTEST_SKIP() << "whole blocks only in this build";
    releaseSpareBlocks();
    auto large = allocateBuffer<uint8_t>(3 * kFrameBytes);
    auto exact = allocateBuffer<uint8_t>(kFrameBytes);
    auto medium = allocateBuffer<uint8_t>(2 * kFrameBytes);
    const std::vector<const void*> addresses{exact.get(), medium.get()};
    large.reset();
    exact.reset();
    medium.reset();

    auto first = allocateBuffer<uint8_t>(kFrameBytes);
    auto second = allocateBuffer<uint8_t>(kFrameBytes);
    EXPECT_EQ(static_cast<const void*>(first.get()), addresses[0]);
    EXPECT_EQ(static_cast<const void*>(second.get()), addresses[1]);
    EXPECT_EQ(spareBytes(), 4 * kFrameBytes);
    first.reset();
    second.reset();
    releaseSpareBlocks();
}

TEST(LargeBuffer, ImpossibleSizesThrowBadAlloc)
{
    EXPECT_THROW(allocateBuffer<uint64_t>(SIZE_MAX / 4), std::bad_alloc);
    EXPECT_THROW(allocateBytes(SIZE_MAX - 10), std::bad_alloc);
    EXPECT_EQ(spareBytes(), 0u);
}
