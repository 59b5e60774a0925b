// The heap's pools: blocks of one size that never overlap, across chunks, are handed out
// again once given back, and are told apart from malloc's.
#include "linux.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <vector>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

TEST(Heap, PoolBlocksNeverOverlapAndComeBackWhenGiven)
{
    static blockpool pool = {12};
    std::set<uintptr_t> seen;
    std::vector<void *> taken;
    for (int i = 0; i < 20000; i++) { // several chunks
        unsigned char *block = (unsigned char *)takeblock(&pool);
        ASSERT_NE(block, nullptr);
        memset(block, i & 0xff, 12);
        taken.push_back(block);
        seen.insert((uintptr_t)block);
    }
    EXPECT_EQ(seen.size(), taken.size());
    for (auto at = seen.begin(), next = std::next(at); next != seen.end(); at = next++)
        ASSERT_GE(*next - *at, 12u); // in the order of their addresses, none overlaps the next
    for (size_t i = 0; i < taken.size(); i++)
        ASSERT_EQ(((unsigned char *)taken[i])[11], i & 0xff) << "block " << i;
    for (void *block : taken)
        ASSERT_TRUE(inpool(&pool, block));
    void *other = malloc(12);
    EXPECT_FALSE(inpool(&pool, other));
    free(other);
    giveblock(&pool, taken[7]);
    giveblock(&pool, taken[19999]);
    EXPECT_EQ(takeblock(&pool), taken[19999]);
    EXPECT_EQ(takeblock(&pool), taken[7]);
}

TEST(Heap, SmallAndLargeBlocksAreFreedWhereTheyCameFrom)
{
    HANDLE heap = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
    void *small = HeapAlloc(heap, 0, 32), *large = HeapAlloc(heap, 0, 33);
    ASSERT_TRUE(small && large);
    memset(small, 0xff, 32);
    EXPECT_TRUE(HeapFree(heap, 0, small)); // the sanitizers fault a pool block given to free
    EXPECT_TRUE(HeapFree(heap, 0, large));
    unsigned char *zeroed = (unsigned char *)HeapAlloc(heap, 0x8, 32); // HEAP_ZERO_MEMORY
    ASSERT_EQ((void *)zeroed, small);
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(zeroed[i], 0) << i;
    EXPECT_FALSE(HeapFree((HANDLE)&heap, 0, zeroed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}
