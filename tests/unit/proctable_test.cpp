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

// The depth of the deepest entry, the root's being 1; walked without recursion, since a
// faulty tree can be a chain as long as its entries.
static int depth(procnode *root)
{
    int deepest = 0;
    std::vector<std::pair<procnode *, int>> todo = {{root, 1}};
    while (!todo.empty()) {
        auto [node, d] = todo.back();
        todo.pop_back();
        deepest = std::max(deepest, d);
        for (procnode *child : {node->left, node->right})
            if (child)
                todo.push_back({child, d + 1});
    }
    return deepest;
}

// Pids rise by one on Linux and Windows for long stretches, fall on some systems, and go in
// steps where other processes take the pids between; each way, 100,000 of them ordered by
// the pid itself would make a chain 100,000 deep. A balanced tree of that size is 17 deep,
// a random one about 45 at its deepest.
TEST_F(Table, RisingFallingAndStridedPidsKeepTheTreeShallow)
{
    struct {
        const char *what;
        DWORD root;
        int64_t step;
    } runs[] = {{"rising", 5000, 1},
                {"falling", 4194304, -1},
                {"strided by 4096, across the top of 32 bits", 0xfff00000u, 4096}};
    const DWORD n = 100000;
    for (auto run : runs) {
        standinreset();
        hh = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
        rootproc.pid = run.root;
        rootproc.handle = (HANDLE)(uintptr_t)run.root;
        for (DWORD i = 1; i <= n; i++) {
            DWORD pid = (DWORD)(run.root + i * run.step);
            insertproc(pid, (HANDLE)(uintptr_t)pid);
        }
        EXPECT_LE(depth(&rootproc), 64) << run.what;
        for (DWORD i = 0; i <= n; i++) {
            DWORD pid = (DWORD)(run.root + i * run.step);
            procnode *node = findproc(pid);
            ASSERT_NE(node, nullptr) << run.what << ": " << pid;
            ASSERT_EQ(node->handle, (HANDLE)(uintptr_t)pid) << run.what;
        }
        EXPECT_EQ(findproc((DWORD)(run.root + (n + 1) * run.step)), nullptr) << run.what;
        EXPECT_EQ(standin.counts["HeapFree"], 0) << run.what;
    }
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
