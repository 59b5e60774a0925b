// The process table at the size of a long run: 50,000 rising and 50,000 falling pids,
// which a tree ordered by the pid itself would make two chains of.
#include "../unit/unit.h"

TEST_F(Unit, FiftyThousandRisingAndFallingPidsAreAllFound)
{
    hh = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
    rootproc.pid = 100000;
    const DWORD n = 50000;
    for (DWORD i = 1; i <= n; i++) {
        insertproc(100000 + i, (HANDLE)(uintptr_t)(100000 + i));
        insertproc(100000 - i, (HANDLE)(uintptr_t)(100000 - i));
    }
    for (DWORD pid = 100000 - n; pid <= 100000 + n; pid++) {
        procnode *node = findproc(pid);
        ASSERT_NE(node, nullptr) << pid;
        if (pid != 100000) {
            ASSERT_EQ(node->handle, (HANDLE)(uintptr_t)pid);
        }
    }
    EXPECT_EQ(findproc(100000 - n - 1), nullptr);
    EXPECT_EQ(findproc(100000 + n + 1), nullptr);
}
