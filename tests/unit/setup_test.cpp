// The supervision run's set-up, wait loop and wind-down: the calls made, and every way
// they can fail.
#include "unit.h"

static void onerootrun(DWORD code)
{
    standin.procs[100].exitcode = code;
    standin.packets = {{JOB_OBJECT_MSG_NEW_PROCESS, 100},
                       {JOB_OBJECT_MSG_EXIT_PROCESS, 100},
                       {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0}};
}

TEST_F(Unit, NormalRunMakesTheCallsInOrderAndClosesItsHandles)
{
    onerootrun(0);
    EXPECT_EQ(standinrun({L"prog.exe", L"a"}), 0u);
    EXPECT_TRUE(called({
        "HeapCreate(1, 0, 0)",
        "CreateJobObjectW(null, null)",
        "CreateIoCompletionPort(INVALID_HANDLE_VALUE, null, 0, 1)",
        "SetInformationJobObject(job, 7, key job, port port, 16)",
        "CreateProcessW(null, cmd, null, null, 0, 4, null, null, startup)",
        "AssignProcessToJobObject(job, process 100) rootproc 100",
        "ResumeThread(thread 100)",
        "GetQueuedCompletionStatus(port, 4294967295)",
        "GetExitCodeProcess(process 100)",
        "CloseHandle(port)",
        "CloseHandle(job)",
        "CloseHandle(thread 100)",
        "CloseHandle(process 100)",
        "ExitProcess(0)",
    })) << testing::PrintToString(standin.calls);
    // The root's own joining meets its seeded entry: the second handle goes at once.
    EXPECT_TRUE(calledonce("CloseHandle(open 100 #1)"));
    EXPECT_EQ(rootproc.handle, standin.roothandle);
    EXPECT_EQ(rootproc.left, nullptr);
    EXPECT_EQ(rootproc.right, nullptr);
}

struct setupfailure {
    const char *service;
    DWORD error;
    lines out;      // after the first line, if any, that every run writes
    bool terminate; // whether the suspended root is ended
    DWORD exitcode;
    const char *second = nullptr; // a second failing service
    DWORD seconderror = 0;
};

TEST_F(Unit, EverySetUpFailureWritesItsLineAndEndsWithItsCode)
{
    const wchar_t *made = L"dorvane.exe: CreateProcess() made pid = 100";
    setupfailure cases[] = {
        {"CreateJobObjectW", 0x5, {L"dorvane.exe: CreateJobObject() failed"}, false, 0x5},
        {"CreateIoCompletionPort",
         0x5aa,
         {L"dorvane.exe: CreateIoCompletionPort() failed errno 0x5aa"},
         false,
         0x5aa},
        {"SetInformationJobObject",
         0x57,
         {L"dorvane.exe: SetInformationJobObject() failed errno 0x57"},
         false,
         0x57},
        {"CreateProcessW", 0x2, {L"dorvane.exe: CreateProcess() failed errno 0x2"}, false, 0x2},
        {"AssignProcessToJobObject",
         0x5,
         {made, L"dorvane.exe: AssignProcessToJobObject() failed errno 0x5",
          L"Terminating the suspended child..."},
         true,
         0x5},
        {"AssignProcessToJobObject",
         0x5,
         {made, L"dorvane.exe: AssignProcessToJobObject() failed errno 0x5",
          L"Terminating the suspended child...",
          L"dorvane.exe: TerminateProcess() failed errno 0x6"},
         true,
         0x6,
         "TerminateProcess",
         0x6},
        {"ResumeThread",
         0x1f,
         {made, L"dorvane.exe: ResumeThread() failed errno 0x1f"},
         true,
         0x1f},
        {"ResumeThread",
         0x1f,
         {made, L"dorvane.exe: ResumeThread() failed errno 0x1f",
          L"dorvane.exe: TerminateProcess() failed errno 0x5"},
         true,
         0x5,
         "TerminateProcess",
         0x5},
    };
    for (auto &c : cases) {
        standinreset();
        onerootrun(0);
        standinfail(c.service, c.error);
        if (c.second)
            standinfail(c.second, c.seconderror);
        SCOPED_TRACE(std::string(c.service) +
                     (c.second ? " and " + std::string(c.second) : ""));
        EXPECT_EQ(standinrun({L"prog.exe"}), c.exitcode);
        lines want = c.out;
        wchar_t exiting[64];
        swprintf(exiting, 64, L"dorvane.exe: Exiting with exit code 0x%x", c.exitcode);
        want.push_back(exiting);
        EXPECT_EQ(standinlines(), want);
        EXPECT_EQ(standin.counts["TerminateProcess"], c.terminate ? 1 : 0);
        if (c.terminate) {
            EXPECT_TRUE(calledonce("TerminateProcess(process 100, 0)"));
        }
        EXPECT_EQ(standin.counts["GetQueuedCompletionStatus"], 0);
        EXPECT_EQ(standin.counts["CloseHandle"], 0); // the end of the process releases all
    }
}

TEST_F(Unit, FinalExitCodeFailureEndsWithoutClosingHandles)
{
    onerootrun(0);
    standinfail("GetExitCodeProcess", 0x6, 2); // the first is the root's exit line
    EXPECT_EQ(standinrun({L"prog.exe"}), 6u);
    lines out = standinlines();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(lines(out.end() - 2, out.end()),
              (lines{L"dorvane.exe: GetExitCodeProcess() failed errno 0x6",
                     L"dorvane.exe: Exiting with exit code 0x6"}));
    EXPECT_FALSE(calledonce("CloseHandle(port)"));
}

TEST_F(Unit, FailedDequeueEndsTheRunInsteadOfSpinning)
{
    onerootrun(0);
    standinfail("GetQueuedCompletionStatus", 0x2df, 2);
    EXPECT_EQ(standinrun({L"prog.exe"}), 0x2dfu);
    lines out = standinlines();
    EXPECT_EQ(out.size(), 5u);
    EXPECT_EQ(lines(out.end() - 2, out.end()),
              (lines{L"dorvane.exe: GetQueuedCompletionStatus() failed errno 0x2df",
                     L"dorvane.exe: Exiting with exit code 0x2df"}));
    EXPECT_EQ(standin.counts["GetQueuedCompletionStatus"], 2);
}

TEST_F(Unit, OnlyMessageFourWithTheJobsKeyEndsTheLoop)
{
    standin.procs[100].exitcode = 1;
    standinpacket other = {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0, false, 0x77};
    standin.packets = {{JOB_OBJECT_MSG_NEW_PROCESS, 100},
                       other,
                       // messages we do not handle: no output, no end
                       {1, 100},
                       {2, 100},
                       {3, 100},
                       {5, 100},
                       {9, 100},
                       {10, 100},
                       {11, 100},
                       {JOB_OBJECT_MSG_NEW_PROCESS, 200, false, 0x77}, // any key is reported
                       {JOB_OBJECT_MSG_EXIT_PROCESS, 100},
                       {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0}};
    EXPECT_EQ(standinrun({L"prog.exe"}), 1u);
    EXPECT_EQ(
        standinlines(),
        (lines{L"dorvane.exe: CreateProcess() made pid = 100",
               L"file \"\\Device\\HarddiskVolume1\\bin\\prog.exe\"", L"\tnew process pid 100",
               L"file \"\\Device\\HarddiskVolume1\\bin\\prog.exe\"", L"\tnew process pid 200",
               L"\texit process pid 100 ecode 0x1", L"root process exited with exit code 0x1",
               L"dorvane.exe: Exiting with exit code 0x1"}));
    EXPECT_TRUE(standin.packets.empty());
}
