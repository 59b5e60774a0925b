// The process table: its chains, its equal cases and the handles it owns.
#include "unit.h"

#include <random>

struct Table : Unit {
    void SetUp() override
    {
        Unit::SetUp();
        hh = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
        rootproc.pid = 5000;
        rootproc.handle = handle(5000);
    }
    HANDLE handle(DWORD pid) { return OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid); }
};

TEST_F(Table, RootKeepsItsCreationHandleWhenItsPidComesAgain)
{
    HANDLE creation = rootproc.handle;
    HANDLE second = handle(5000);
    insertproc(5000, second);
    EXPECT_EQ(rootproc.handle, creation);
    EXPECT_EQ(rootproc.left, nullptr);
    EXPECT_EQ(rootproc.right, nullptr);
    EXPECT_TRUE(calledonce("CloseHandle(open 5000 #2)"));
    EXPECT_EQ(standin.counts["HeapFree"], 1);
}

TEST_F(Table, ReusedPidTakesTheNewHandleAndClosesTheOld)
{
    HANDLE first = handle(7), second = handle(7);
    insertproc(7, first);
    insertproc(7, second);
    ASSERT_NE(findproc(7), nullptr);
    EXPECT_EQ(findproc(7)->handle, second);
    EXPECT_TRUE(calledonce("CloseHandle(open 7 #2)"));
    EXPECT_EQ(standin.counts["CloseHandle"], 1);
    EXPECT_EQ(standin.counts["HeapFree"], 1);
}

TEST_F(Table, RisingAndFallingPidsFormChainsThatStillFindEveryEntry)
{
    for (DWORD pid = 5001; pid <= 6000; pid++)
        insertproc(pid, handle(pid));
    for (DWORD pid = 4999; pid >= 4000; pid--)
        insertproc(pid, handle(pid));
    int right = 0, left = 0;
    for (procnode *at = rootproc.right; at; at = at->right)
        right++;
    for (procnode *at = rootproc.left; at; at = at->left)
        left++;
    EXPECT_EQ(right, 1000);
    EXPECT_EQ(left, 1000);
    for (DWORD pid = 4000; pid <= 6000; pid++) {
        procnode *node = findproc(pid);
        ASSERT_NE(node, nullptr) << pid;
        EXPECT_EQ(node->pid, pid);
    }
    EXPECT_EQ(findproc(3999), nullptr);
    EXPECT_EQ(findproc(6001), nullptr);
    EXPECT_EQ(findproc(0), nullptr);
    EXPECT_EQ(findproc(0xffffffffu), nullptr);
}

TEST_F(Table, ShuffledPidsAreAllFoundAndKeepTheirOwnHandles)
{
    std::vector<DWORD> pids;
    for (DWORD pid = 1; pid < 3000; pid += 3)
        pids.push_back(pid * 7u % 10007u + (pid & 1 ? 0x80000000u : 0));
    std::mt19937 random(12345);
    std::shuffle(pids.begin(), pids.end(), random);
    std::map<DWORD, HANDLE> handles;
    for (DWORD pid : pids)
        insertproc(pid, handles[pid] = handle(pid));
    for (DWORD pid : pids) {
        ASSERT_NE(findproc(pid), nullptr) << pid;
        EXPECT_EQ(findproc(pid)->handle, handles[pid]);
    }
    EXPECT_EQ(standin.counts["CloseHandle"], 0);
}

TEST_F(Table, EntryThatCannotBeAllocatedIsLeftOutAndItsHandleClosed)
{
    standinfail("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
    insertproc(42, handle(42));
    EXPECT_EQ(findproc(42), nullptr);
    EXPECT_EQ(standinlines(), lines{L"\t\tHeapAlloc() failed!"});
    EXPECT_TRUE(calledonce("CloseHandle(open 42 #2)"));
}
