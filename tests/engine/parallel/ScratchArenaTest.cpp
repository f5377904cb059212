#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "parallel/LargeBuffer.h"
#include "parallel/ScratchArena.h"

using velmem::ScratchArena;

TEST(ScratchArena, TakesDisjointAlignedPiecesFromAnyThreadUntilFull)
{
    constexpr size_t Capacity = size_t{1} << 20;
    ScratchArena arena(Capacity);
    ASSERT_EQ(arena.capacity(), Capacity);
    EXPECT_EQ(arena.take(Capacity + 1), nullptr);
    std::vector<std::pair<uintptr_t, size_t>> pieces[2];
    std::thread other([&] {
        while (void* piece = arena.take(1000))
            pieces[1].emplace_back(reinterpret_cast<uintptr_t>(piece), 1000);
    });
    while (void* piece = arena.take(3000))
        pieces[0].emplace_back(reinterpret_cast<uintptr_t>(piece), 3000);
    other.join();
    std::vector<std::pair<uintptr_t, size_t>> all = pieces[0];
    all.insert(all.end(), pieces[1].begin(), pieces[1].end());
    std::sort(all.begin(), all.end());
    ASSERT_GT(all.size(), 300u);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].first % 64, 0u);
        EXPECT_TRUE(arena.holds(reinterpret_cast<void*>(all[i].first)));
        EXPECT_TRUE(arena.holds(reinterpret_cast<void*>(all[i].first + all[i].second - 1)));
        if (i + 1 < all.size()) {
            EXPECT_LE(all[i].first + all[i].second, all[i + 1].first);
        }
        std::memset(reinterpret_cast<void*>(all[i].first), 0x5A, all[i].second);  // every byte writable
    }
    int local = 0;
    EXPECT_FALSE(arena.holds(&local));
    EXPECT_EQ(ScratchArena(0).take(1), nullptr);
}

TEST(ScratchArena, TakesItsBlockFromTheKeptOnesAndGivesItBack)
{
    if (!velmem::SplitsSpareBlocks)
        GTEST_SKIP() << "this build keeps whole blocks only";
    velmem::releaseSpareBlocks();
    constexpr size_t FrameBytes = size_t{48} << 20;
    velmem::allocateBuffer<uint8_t>(FrameBytes).reset();
    const size_t kept = velmem::spareBytes();
    ASSERT_GE(kept, FrameBytes);
    {
        ScratchArena arena(size_t{12} << 20);
        EXPECT_LT(velmem::spareBytes(), kept);  // carved from the kept frame block
        EXPECT_NE(arena.take(size_t{12} << 20), nullptr);
    }
    EXPECT_EQ(velmem::spareBytes(), kept);
    velmem::releaseSpareBlocks();
}
