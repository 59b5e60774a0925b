// The ends of a run: usage, a heap that cannot be had, and the root's code passed on.
#include "unit.h"

TEST_F(Unit, NoProgramGivesUsageAnd87WithoutExitingLine)
{
    EXPECT_EQ(standinrun({}), 87u);
    EXPECT_EQ(standinlines(),
              lines{L"dorvane.exe SOME_PROGRAM_TO_RUN.exe [ARGUMENTS_FOR_PROGRAM] [...]"});
    EXPECT_FALSE(standin.exitprocess);
    EXPECT_TRUE(standin.calls.empty()); // not even the heap
}

TEST_F(Unit, HeapCreateFailureEndsWithItsErrorAndNoExitingLine)
{
    standinfail("HeapCreate", 0x5af);
    EXPECT_EQ(standinrun({L"prog.exe"}), 0x5afu);
    EXPECT_EQ(standinlines(), lines{L"dorvane.exe: HeapCreate() failed!"});
    EXPECT_TRUE(standin.exitprocess);
    EXPECT_EQ(standin.calls.front(), "HeapCreate(1, 0, 0)");
    EXPECT_EQ(standin.calls.back(), "ExitProcess(1455)");
}

TEST_F(Unit, CommandLineAllocationFailureEndsWith8AndLeavesWinerrno)
{
    standinfail("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(standinrun({L"prog.exe", L"x"}), 8u);
    EXPECT_EQ(standinlines(), (lines{L"dorvane.exe: HeapAlloc() failed!",
                                     L"dorvane.exe: Exiting with exit code 0x8"}));
    EXPECT_EQ(winerrno, 0u);
    EXPECT_EQ(standin.counts["CreateJobObjectW"], 0);
}

TEST_F(Unit, ArgumentsAreJoinedEachFollowedByOneSpace)
{
    struct {
        std::vector<std::wstring> args;
        std::wstring line;
    } cases[] = {
        {{L"cmd", L"/c", L"exit", L"3"}, L"cmd /c exit 3 "},
        {{L"a", L"", L"b"}, L"a  b "},
        {{L"prog.exe"}, L"prog.exe "},
        {{L"prog.exe", L"two words", L"\"quoted\""}, L"prog.exe two words \"quoted\" "},
        {{L"p", L"", L""}, L"p   "},
    };
    for (auto &c : cases) {
        standinreset();
        standinfail("CreateProcessW", ERROR_FILE_NOT_FOUND);
        standinrun(c.args);
        EXPECT_EQ(standin.commandline, c.line);
        // The buffer is exactly the length of the line and its terminator.
        EXPECT_EQ(standin.allocsizes.at(0), (c.line.size() + 1) * sizeof(wchar_t));
    }
}

// A root with no children: the whole output, and the code passed on in all 32 bits.
TEST_F(Unit, RootExitCodeBecomesOursUnchanged)
{
    for (DWORD code : {0u, 3u, 0xc0000005u, 0xffffffffu, 0x80000000u}) {
        standinreset();
        standin.procs[100].exitcode = code;
        standin.packets = {{JOB_OBJECT_MSG_NEW_PROCESS, 100},
                           {JOB_OBJECT_MSG_EXIT_PROCESS, 100},
                           {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0}};
        wchar_t hex[16];
        swprintf(hex, 16, L"0x%x", code);
        EXPECT_EQ(standinrun({L"prog.exe"}), code);
        EXPECT_EQ(standinlines(),
                  (lines{L"dorvane.exe: CreateProcess() made pid = 100",
                         L"file \"\\Device\\HarddiskVolume1\\bin\\prog.exe\"",
                         L"\tnew process pid 100",
                         L"\texit process pid 100 ecode " + std::wstring(hex),
                         L"root process exited with exit code " + std::wstring(hex),
                         L"dorvane.exe: Exiting with exit code " + std::wstring(hex)}));
        EXPECT_TRUE(standin.exitprocess);
        EXPECT_EQ(winerrno, code);
    }
}
