// The lines written for each process that joins and ends, and how the handlers carry on
// when a service fails for one process.
#include "unit.h"

static const wchar_t *made = L"dorvane.exe: CreateProcess() made pid = 100";
static const wchar_t *rootfile = L"file \"\\Device\\HarddiskVolume1\\bin\\prog.exe\"";

// The root (100) starts a child (200) and ends before it; both are reported, and the run
// waits for the child.
static void rootandchild(DWORD rootcode, DWORD childcode, DWORD childend)
{
    standin.procs[100].exitcode = rootcode;
    standin.procs[200].exitcode = childcode;
    standin.procs[200].image = L"\\Device\\HarddiskVolume1\\bin\\child.exe";
    standin.packets = {{JOB_OBJECT_MSG_NEW_PROCESS, 100},
                       {JOB_OBJECT_MSG_NEW_PROCESS, 200},
                       {JOB_OBJECT_MSG_EXIT_PROCESS, 100},
                       {childend, 200},
                       {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0}};
}

TEST_F(Unit, RootEndingBeforeItsChildIsReportedInOrder)
{
    rootandchild(3, 0x11, JOB_OBJECT_MSG_EXIT_PROCESS);
    EXPECT_EQ(standinrun({L"prog.exe"}), 3u);
    EXPECT_EQ(
        standinlines(),
        (lines{made, rootfile, L"\tnew process pid 100",
               L"file \"\\Device\\HarddiskVolume1\\bin\\child.exe\"", L"\tnew process pid 200",
               L"\texit process pid 100 ecode 0x3", L"\texit process pid 200 ecode 0x11",
               L"root process exited with exit code 0x3",
               L"dorvane.exe: Exiting with exit code 0x3"}));
    EXPECT_TRUE(
        called({"OpenProcess(1024, 0, 200)", "GetProcessImageFileNameW(open 200 #2, 260)"}));
}

TEST_F(Unit, AbnormalEndsGetTheCrashWording)
{
    rootandchild(0, 0xc0000005, JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS);
    standin.packets.insert(
        standin.packets.begin() + 4,
        {{JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS, 300}, {JOB_OBJECT_MSG_EXIT_PROCESS, 301}});
    EXPECT_EQ(standinrun({L"prog.exe"}), 0u);
    lines out = standinlines();
    ASSERT_EQ(out.size(), 11u);
    EXPECT_EQ(lines(out.begin() + 6, out.begin() + 9),
              (lines{L"\tcrash process pid 200 ecode 0xc0000005",
                     L"\tcrash process pid 300", // never joined: no handle, no code
                     L"\texit process pid 301"}));
}

struct newprocfailure {
    const char *service;
    int nth;
    DWORD error;
    lines joined; // the lines for pid 200's joining
    bool tracked; // whether its end carries the exit code
};

TEST_F(Unit, ProcessLevelFailuresAreWrittenAndPassedOver)
{
    newprocfailure cases[] = {
        {"OpenProcess",
         2,
         0x57,
         {L"OpenProcess() failed errno 0x57", L"\tnew process pid 200"},
         false},
        {"GetProcessImageFileNameW",
         2,
         0x6,
         {L"GetProcessImageFileName() failed errno 0x6", L"\tnew process pid 200"},
         true},
        // 1 is the command line, 2 the root's duplicate entry, 3 the child's
        {"HeapAlloc",
         3,
         0x8,
         {L"file \"\\Device\\HarddiskVolume1\\bin\\child.exe\"", L"\t\tHeapAlloc() failed!",
          L"\tnew process pid 200"},
         false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.service);
        standinreset();
        rootandchild(0, 0x22, JOB_OBJECT_MSG_EXIT_PROCESS);
        standinfail(c.service, c.error, c.nth);
        EXPECT_EQ(standinrun({L"prog.exe"}), 0u);
        lines want = {made, rootfile, L"\tnew process pid 100"};
        want.insert(want.end(), c.joined.begin(), c.joined.end());
        want.push_back(L"\texit process pid 100 ecode 0x0");
        want.push_back(c.tracked ? L"\texit process pid 200 ecode 0x22"
                                 : L"\texit process pid 200");
        want.push_back(L"root process exited with exit code 0x0");
        want.push_back(L"dorvane.exe: Exiting with exit code 0x0");
        EXPECT_EQ(standinlines(), want);
        if (std::string(c.service) == "HeapAlloc") { // the handle it could not keep is closed
            EXPECT_TRUE(calledonce("CloseHandle(open 200 #2)"));
        }
    }
}

TEST_F(Unit, ImageNameTooLongForTheBufferIsAFailureLineButTheProcessIsTracked)
{
    rootandchild(0, 0x9, JOB_OBJECT_MSG_EXIT_PROCESS);
    standin.procs[200].image = L"\\Device\\HarddiskVolume1\\" + std::wstring(300, L'x');
    standinrun({L"prog.exe"});
    lines out = standinlines();
    ASSERT_EQ(out.size(), 9u);
    EXPECT_EQ(out[3], L"GetProcessImageFileName() failed errno 0x7a");
    EXPECT_EQ(out[6], L"\texit process pid 200 ecode 0x9");
}

TEST_F(Unit, RootThatCannotBeOpenedIsStillReportedWithItsCode)
{
    standin.procs[100].exitcode = 4;
    standin.packets = {{JOB_OBJECT_MSG_NEW_PROCESS, 100},
                       {JOB_OBJECT_MSG_EXIT_PROCESS, 100},
                       {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0}};
    standinfail("OpenProcess", 0x5);
    EXPECT_EQ(standinrun({L"prog.exe"}), 4u);
    EXPECT_EQ(
        standinlines(),
        (lines{made, L"OpenProcess() failed errno 0x5", L"\tnew process pid 100",
               L"\texit process pid 100 ecode 0x4", L"root process exited with exit code 0x4",
               L"dorvane.exe: Exiting with exit code 0x4"}));
}

TEST_F(Unit, FailedExitCodeQueryShowsAllOnesAndTheRunGoesOn)
{
    rootandchild(0, 0x22, JOB_OBJECT_MSG_EXIT_PROCESS);
    standinfail("GetExitCodeProcess", 0x6, 2); // the child's
    EXPECT_EQ(standinrun({L"prog.exe"}), 0u);
    lines out = standinlines();
    ASSERT_EQ(out.size(), 10u);
    EXPECT_EQ(lines(out.begin() + 6, out.begin() + 8),
              (lines{L"dorvane.exe: GetExitCodeProcess() failed errno 0x6",
                     L"\texit process pid 200 ecode 0xffffffff"}));
    EXPECT_EQ(out.back(), L"dorvane.exe: Exiting with exit code 0x0");
}

TEST_F(Unit, PidsPrintUnsignedAndCodesLowercaseHex)
{
    standin.rootpid = 4294967295u;
    standin.procs[4294967295u].exitcode = 0xABCDEFu;
    standin.packets = {{JOB_OBJECT_MSG_NEW_PROCESS, 4294967295u},
                       {JOB_OBJECT_MSG_EXIT_PROCESS, 4294967295u},
                       {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0}};
    standinrun({L"prog.exe"});
    lines out = standinlines();
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out[0], L"dorvane.exe: CreateProcess() made pid = 4294967295");
    EXPECT_EQ(out[3], L"\texit process pid 4294967295 ecode 0xabcdef");
}
