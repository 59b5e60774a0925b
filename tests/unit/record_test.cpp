// The run's record: what each JSON line, the trace and the summary say of the processes,
// from what the stand-in's services tell; what they give when a service fails; and the
// files that cannot be created or written.
#include "unit.h"

// 100 ns units of GetProcessTimes: the root starts at 5 s.
static const uint64_t second = 10000000, origin = 5 * second;

static const char *cclines = "\"program\":\"\\\\Device\\\\HarddiskVolume1\\\\bin\\\\cc.exe\","
                             "\"argv\":[\"cc\",\"-c\",\"a b\",\"\"]";

// The root (100) starts a child that crashes (200) and one that cannot be opened (201);
// 300 ends without having joined.
static void scriptrun()
{
    standinproc &root = standin.procs[100];
    root.exitcode = 3;
    root.ppid = 10;
    root.commandline = L"prog.exe a b ";
    root.creation = origin;
    root.exit = origin + 12345678;
    root.user = 2 * second / 10;
    root.kernel = second / 10;
    root.peak = 4096 * 1024;
    standinproc &cc = standin.procs[200];
    cc.image = L"\\Device\\HarddiskVolume1\\bin\\cc.exe";
    cc.exitcode = 139;
    cc.signal = 11;
    cc.ppid = 100;
    cc.commandline = std::wstring(L"cc\0-c\0a b\0\0", 11); // as Linux gives a vector
    cc.creation = origin + second / 10;
    cc.exit = origin + 2 * second / 10;
    cc.user = 100;
    standin.now = origin + 2 * second;
    standin.packets = {
        {JOB_OBJECT_MSG_NEW_PROCESS, 100},  {JOB_OBJECT_MSG_NEW_PROCESS, 200},
        {JOB_OBJECT_MSG_NEW_PROCESS, 201},  {JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS, 200},
        {JOB_OBJECT_MSG_EXIT_PROCESS, 201}, {JOB_OBJECT_MSG_EXIT_PROCESS, 100},
        {JOB_OBJECT_MSG_EXIT_PROCESS, 300}, {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0}};
    standinfail("OpenProcess", ERROR_ACCESS_DENIED, 3);
}

static const char *unknown = "\"program\":null,\"argv\":null,\"exitcode\":null,\"crash\":false,"
                             "\"signal\":null,\"start\":null,\"end\":null,\"user\":null,"
                             "\"system\":null,\"maxrss\":null}";

TEST_F(Unit, AJsonLinePerEndedProcessThenTheRun)
{
    scriptrun();
    EXPECT_EQ(standinrun({L"--json=run.jsonl", L"prog.exe", L"a", L"b"}), 3u);
    EXPECT_EQ(
        standinfilelines(L"run.jsonl"),
        (std::vector<std::string>{
            std::string("{\"pid\":200,\"ppid\":100,") + cclines +
                ",\"exitcode\":139,\"crash\":true,\"signal\":11,\"start\":0.100000,"
                "\"end\":0.200000,\"user\":0.000010,\"system\":0.000000,\"maxrss\":null}",
            std::string("{\"pid\":201,\"ppid\":null,") + unknown,
            "{\"pid\":100,\"ppid\":10,\"program\":\"\\\\Device\\\\HarddiskVolume1\\\\bin\\\\"
            "prog.exe\",\"argv\":\"prog.exe a b \",\"exitcode\":3,\"crash\":false,"
            "\"signal\":null,\"start\":0.000000,\"end\":1.234567,\"user\":0.200000,"
            "\"system\":0.100000,\"maxrss\":4096}",
            std::string("{\"pid\":300,\"ppid\":null,") + unknown,
            "{\"run\":{\"pid\":100,\"exitcode\":3,\"error\":null,\"processes\":4,"
            "\"failures\":2,\"incomplete\":2,\"duration\":2.000000}}",
        }));
    // The report is as without the option, and nothing went to standard error.
    EXPECT_EQ(standinlines().back(), L"dorvane.exe: Exiting with exit code 0x3");
    EXPECT_TRUE(standin.err.empty());
}

TEST_F(Unit, WithoutOptionsTheRecordAsksNothing)
{
    scriptrun();
    EXPECT_EQ(standinrun({L"prog.exe"}), 3u);
    for (const char *service : {"CreateFileW", "NtQueryInformationProcess", "GetProcessTimes",
                                "GetProcessMemoryInfo", "platformreportto"})
        for (auto &call : standin.calls)
            EXPECT_NE(call.rfind(service, 0), 0u) << call;
}

TEST_F(Unit, WhatTheSystemCannotTellIsNull)
{
    scriptrun();
    for (const char *service :
         {"NtQueryInformationProcess", "GetProcessTimes", "GetProcessMemoryInfo"})
        for (int nth = 1; nth <= 8; nth++)
            standinfail(service, ERROR_ACCESS_DENIED, nth);
    standin.procs[100].user = ~0ull; // on Linux: a CPU time no tracker told
    EXPECT_EQ(standinrun({L"--json=run.jsonl", L"prog.exe", L"a"}), 3u);
    std::vector<std::string> got = standinfilelines(L"run.jsonl");
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0],
              "{\"pid\":200,\"ppid\":null,\"program\":\"\\\\Device\\\\HarddiskVolume1\\\\"
              "bin\\\\cc.exe\",\"argv\":null,\"exitcode\":139,\"crash\":true,\"signal\":11,"
              "\"start\":null,\"end\":null,\"user\":null,\"system\":null,\"maxrss\":null}");
    // The root's command line is the one dorvane made; times are from when the root's start
    // was first asked for.
    EXPECT_NE(got[2].find("\"argv\":\"prog.exe a \""), std::string::npos) << got[2];
    EXPECT_NE(got[4].find("\"duration\":0.000000"), std::string::npos) << got[4];
}

TEST_F(Unit, ACodeTheSystemLostIsNullAndTheProcessIncomplete)
{
    scriptrun();
    standin.procs[100].exitcode = 0xffffffff;
    standin.procs[100].codeunknown = true;
    EXPECT_EQ(standinrun({L"--json=run.jsonl", L"prog.exe"}), 0xffffffffu);
    std::vector<std::string> got = standinfilelines(L"run.jsonl");
    ASSERT_EQ(got.size(), 5u);
    EXPECT_NE(got[2].find("\"exitcode\":null,\"crash\":false"), std::string::npos) << got[2];
    EXPECT_NE(got[4].find("\"failures\":1,\"incomplete\":3"), std::string::npos) << got[4];
}

TEST_F(Unit, TheTraceHasATrackAnEventAndAFlowPerProcess)
{
    scriptrun();
    EXPECT_EQ(standinrun({L"--trace", L"run.json", L"prog.exe"}), 3u);
    std::vector<std::string> got = standinfilelines(L"run.json");
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0], "[");
    EXPECT_EQ(got[1],
              std::string("{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":200,\"tid\":200,"
                          "\"args\":{\"name\":\"cc.exe\"}},{\"name\":\"process_sort_index\","
                          "\"ph\":\"M\",\"pid\":200,\"tid\":200,\"args\":{\"sort_index\":2}},"
                          "{\"name\":\"cc.exe\",\"cat\":\"process\",\"ph\":\"X\",\"ts\":100000,"
                          "\"dur\":100000,\"pid\":200,\"tid\":200,\"args\":{\"pid\":200,"
                          "\"ppid\":100,") +
                  cclines +
                  ",\"exitcode\":139,\"crash\":true,\"signal\":11}},{\"name\":\"start\","
                  "\"cat\":\"tree\",\"ph\":\"s\",\"id\":2,\"ts\":100000,\"pid\":100,"
                  "\"tid\":100},{\"name\":\"start\",\"cat\":\"tree\",\"ph\":\"f\",\"bp\":"
                  "\"e\",\"id\":2,\"ts\":100000,\"pid\":200,\"tid\":200}");
    // One that could not be opened spans its notifications, and is named by its pid; the
    // root has no flow into it.
    EXPECT_EQ(got[2].rfind(",{", 0), 0u);
    EXPECT_NE(
        got[2].find("\"name\":\"pid 201\",\"cat\":\"process\",\"ph\":\"X\",\"ts\":2000000,"
                    "\"dur\":0"),
        std::string::npos)
        << got[2];
    EXPECT_EQ(got[3].find("\"ph\":\"s\""), std::string::npos) << got[3];
    EXPECT_EQ(got[5], "]");
}

TEST_F(Unit, TheSummaryListsTheFirstTwentyFailuresWithTheirFirstTwentyArguments)
{
    std::wstring args(L"a0\0\0b c\0", 8);
    for (int i = 3; i < 25; i++)
        args += L"a" + std::to_wstring(i) + std::wstring(1, L'\0');
    standin.packets = {{JOB_OBJECT_MSG_NEW_PROCESS, 100}};
    for (DWORD pid = 200; pid < 225; pid++) {
        standin.procs[pid].exitcode = 1;
        standin.procs[pid].commandline = args;
        standin.packets.push_back({JOB_OBJECT_MSG_NEW_PROCESS, pid});
        standin.packets.push_back({JOB_OBJECT_MSG_EXIT_PROCESS, pid});
    }
    standin.packets.push_back({JOB_OBJECT_MSG_EXIT_PROCESS, 100});
    standin.packets.push_back({JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0});
    EXPECT_EQ(standinrun({L"--summary", L"prog.exe"}), 0u);
    std::wstring shown =
        L" \\Device\\HarddiskVolume1\\bin\\prog.exe: a0 '' 'b c' a3 a4 a5 a6 a7 "
        L"a8 a9 a10 a11 a12 a13 a14 a15 a16 a17 a18 a19 (5 more)\n";
    std::wstring want = L"dorvane.exe: processes 26, failed 25\n";
    for (DWORD pid = 200; pid < 220; pid++)
        want += L"\texit process pid " + std::to_wstring(pid) + L" ecode 0x1" + shown;
    want += L"\tand 5 more\n";
    EXPECT_EQ(standin.err, want);
    // Before the Exiting line, which stays the last of the report.
    EXPECT_EQ(standinlines().back(), L"dorvane.exe: Exiting with exit code 0x0");
}

TEST_F(Unit, TheReportGoesToItsFileAndTheSummaryCountsWhatIsNotWhole)
{
    scriptrun();
    EXPECT_EQ(standinrun({L"--output=report.txt", L"--summary", L"prog.exe"}), 3u);
    EXPECT_TRUE(standin.out.empty());
    std::vector<std::string> report = standinfilelines(L"report.txt");
    ASSERT_EQ(report.size(), 13u);
    EXPECT_EQ(report[0], "dorvane.exe: CreateProcess() made pid = 100");
    EXPECT_EQ(report[12], "dorvane.exe: Exiting with exit code 0x3");
    EXPECT_EQ(standin.err,
              L"dorvane.exe: processes 4, failed 2, not reported in full 2\n"
              L"\tcrash process pid 200 ecode 0x8b \\Device\\HarddiskVolume1\\bin\\"
              L"cc.exe: cc -c 'a b' ''\n"
              L"\texit process pid 100 ecode 0x3 \\Device\\HarddiskVolume1\\bin\\"
              L"prog.exe: prog.exe a b \n");
}

// Text the system holds that is not Unicode comes out as the report writes it; what would
// split a line for some readers is escaped.
TEST_F(Unit, EveryRecordStaysOneLineOfValidText)
{
    standin.procs[100].image = std::wstring(L"\\bin\\b") + wchar_t(0xd800) + L"d";
    standin.procs[100].commandline =
        std::wstring(L"a\x01\x85\x2028\t\"\\\n", 8) + wchar_t(0x1f600) + L" ";
    standin.packets = {{JOB_OBJECT_MSG_NEW_PROCESS, 100},
                       {JOB_OBJECT_MSG_EXIT_PROCESS, 100},
                       {JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, 0}};
    standinrun({L"--json=j", L"prog.exe"});
    std::vector<std::string> got = standinfilelines(L"j");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(
        got[0].find("\"program\":\"\\\\bin\\\\b\xef\xbf\xbd"
                    "d\",\"argv\":\"a\\u0001\\u0085\\u2028\\t\\\"\\\\\\n\xf0\x9f\x98\x80 \""),
        std::string::npos)
        << got[0];
}

TEST_F(Unit, AFileThatCannotBeCreatedFailsTheStartWithItsCode)
{
    const wchar_t *option[] = {L"output", L"json", L"trace"};
    for (int nth = 1; nth <= 3; nth++) {
        standinreset();
        standinfail("CreateFileW", nth == 2 ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED, nth);
        DWORD code = standinrun(
            {L"--output=o.txt", L"--json", L"d/j", L"--trace=t.json", L"--summary", L"p"});
        DWORD want = nth == 2 ? 3 : 5;
        EXPECT_EQ(code, want);
        const wchar_t *file[] = {L"o.txt", L"d/j", L"t.json"};
        EXPECT_EQ(
            standinlines(),
            (lines{L"dorvane.exe: --" + std::wstring(option[nth - 1]) + L": CreateFile(\"" +
                       file[nth - 1] + L"\") failed errno 0x" + std::to_wstring(want),
                   L"dorvane.exe: Exiting with exit code 0x" + std::to_wstring(want)}));
        EXPECT_EQ(standin.counts["CreateProcessW"], 0);
        EXPECT_EQ(standin.counts["CreateJobObjectW"], 0);
        EXPECT_TRUE(standin.err.empty()); // no summary of a run that never started
    }
}

TEST_F(Unit, AStartThatFailsStillClosesTheRecord)
{
    standinfail("CreateProcessW", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(standinrun({L"--json=j", L"--trace=t", L"--summary", L"nothere.exe"}), 2u);
    EXPECT_EQ(standinfilelines(L"j"),
              std::vector<std::string>{"{\"run\":{\"pid\":null,\"exitcode\":null,\"error\":2,"
                                       "\"processes\":0,\"failures\":0,\"incomplete\":0,"
                                       "\"duration\":null}}"});
    EXPECT_EQ(standinfilelines(L"t"), (std::vector<std::string>{"[", "]"}));
    EXPECT_EQ(standin.err, L"dorvane.exe: processes 0, failed 0\n");
}

TEST_F(Unit, AFileThatFailsIsSaidOnceAndTheRunGoesOn)
{
    scriptrun();
    standinfail("WriteFile", 0x70,
                3); // the trace's first process, after its "[" and a JSON line
    EXPECT_EQ(standinrun({L"--trace=t", L"--json=j", L"prog.exe"}), 3u);
    lines out = standinlines();
    EXPECT_EQ(std::count(out.begin(), out.end(),
                         L"dorvane.exe: --trace: WriteFile() failed errno 0x70"),
              1);
    EXPECT_EQ(standinfilelines(L"t"), std::vector<std::string>{"["});
    EXPECT_EQ(standinfilelines(L"j").size(), 5u);
    EXPECT_EQ(out.back(), L"dorvane.exe: Exiting with exit code 0x3");
}

TEST_F(Unit, ALineThatMemoryRanOutForIsSaidAndPassedOver)
{
    scriptrun();
    standinrun({L"--json=j", L"prog.exe"});
    // The line's buffer is the first block of its size.
    auto first = std::find(standin.allocsizes.begin(), standin.allocsizes.end(), (SIZE_T)1024);
    ASSERT_NE(first, standin.allocsizes.end());
    int nth = (int)(first - standin.allocsizes.begin()) + 1;
    standinreset();
    scriptrun();
    standinfail("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, nth);
    EXPECT_EQ(standinrun({L"--json=j", L"prog.exe"}), 3u);
    lines out = standinlines();
    EXPECT_NE(std::find(out.begin(), out.end(), L"dorvane.exe: --json: HeapAlloc() failed!"),
              out.end());
    std::vector<std::string> got = standinfilelines(L"j");
    ASSERT_EQ(got.size(), 4u); // the first process's line is lost, the others are whole
    EXPECT_EQ(got[0].rfind("{\"pid\":201,", 0), 0u);
}
