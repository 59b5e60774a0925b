// The records under a scripted tracker: fork, exec and end reports as a tracker makes them,
// in the orders the kernel allows, and the packets, names and codes the core gets from them.
// Each test runs in a process of its own (one job per run), with /bin/true as its root.
#include "../../platform/linux/job/records.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

// The scripted tracker: it follows nothing, and lets the test report for it.
static proc *root;
// Times events() may let an announcement fall due before the tree counts as gone.
static int waits;
// The timeouts events() was given.
static std::vector<int> timeouts;

static bool load(void)
{
    return true;
}
static bool seize(pid_t)
{
    return true;
}
static void afterfork(void) {}
// The real root, /bin/true, is reaped here; its record stands for it from now on.
static int awaitexec(pid_t pid, int)
{
    waitpid(pid, nullptr, 0);
    return 0;
}
static bool adopt(proc *p, pid_t)
{
    root = p;
    holdproc(p);
    procexeced(p, makeimage("/bin/root", 9)); // reported before it joins, as eBPF does
    return true;
}
static bool follow(pid_t)
{
    return true;
}
// The packets the core has handled, and how many it had when the root was let run.
static int handled, handledatresume = -1;
static bool resume(pid_t)
{
    handledatresume = handled;
    return true;
}
// A process whose exec waits to be read, as in a ring the tracker has not read yet.
static proc *unreadexec;

static bool events(int timeoutms)
{
    timeouts.push_back(timeoutms);
    readingevents();
    if (unreadexec) {
        procexeced(unreadexec, makeimage("/bin/late", 9));
        unreadexec = nullptr;
    }
    if (timeoutms < 0 || waits-- <= 0)
        return false;
    struct timespec pause = {0, timeoutms * 1000000L};
    nanosleep(&pause, nullptr);
    return true;
}

static void eachprocess(void (*)(pid_t, int)) {}

static const tracker scripted = {load,   seize,  afterfork, awaitexec,  adopt,
                                 follow, resume, events,    eachprocess};
const tracker *tracking = &scripted;
bool choosetracker(void)
{
    return true;
}

class Records : public ::testing::Test
{
  protected:
    HANDLE port = nullptr;
    PROCESS_INFORMATION info = {};
    DWORD rootpid = 0;

    void SetUp() override
    {
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {job, port};
        ASSERT_TRUE(SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation,
                                            &association, sizeof association));
        // The root's arguments, as main keeps them; the core's line is their join.
        static char program[] = "/bin/true";
        static char *args[] = {program, nullptr};
        keepgiven(args);
        wchar_t line[] = L"/bin/true ";
        STARTUPINFOW startup = {};
        ASSERT_TRUE(CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                   nullptr, nullptr, &startup, &info));
        ASSERT_TRUE(AssignProcessToJobObject(job, info.hProcess));
        ASSERT_EQ(ResumeThread(info.hThread), 1u);
        rootpid = info.dwProcessId;
    }

    void TearDown() override
    {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        releaseproc(root);
    }

    // Every packet until the tree is gone, as the core's handlers see it: "new PID NAME"
    // (or the error of the name), "exit PID CODE", "crash PID CODE", "zero"; the root's pid
    // reads as 1. The pids the tests make up lie below 300, which Linux hands out only at
    // boot, so no real root can have one.
    std::vector<std::string> drain()
    {
        std::vector<std::string> seen;
        DWORD message;
        ULONG_PTR key;
        LPOVERLAPPED overlapped;
        while (GetQueuedCompletionStatus(port, &message, &key, &overlapped, INFINITE)) {
            if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
                seen.push_back("zero");
                break;
            }
            DWORD pid = (DWORD)(ULONG_PTR)overlapped;
            HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
            std::string id = std::to_string(pid == rootpid ? 1 : pid) + " ";
            if (message == JOB_OBJECT_MSG_NEW_PROCESS) {
                wchar_t name[MAX_PATH];
                DWORD n = GetProcessImageFileNameW(p, name, MAX_PATH);
                seen.push_back(
                    "new " + id +
                    (n ? std::string(name, name + n) : std::to_string(GetLastError())));
            } else {
                DWORD code = 0;
                GetExitCodeProcess(p, &code);
                seen.push_back((message == JOB_OBJECT_MSG_EXIT_PROCESS ? "exit " : "crash ") +
                               id + std::to_string(code));
            }
            CloseHandle(p);
            handled++;
        }
        return seen;
    }
};

using lines = std::vector<std::string>;

TEST_F(Records, ParentsComeBeforeTheirChildrenAndEachProcessOnce)
{
    proc *a = procforked(root, 101, nullptr);
    proc *b = procforked(a, 102, nullptr); // reported before its creator is announced
    procexeced(b, makeimage("/bin/b", 6));
    procexeced(b, makeimage("/bin/c", 6)); // a second exec: announced already
    proc *c = procforked(b, 103, nullptr); // runs /bin/c, and b is not announced again
    procended(c, 9 << 8);
    procended(b, 3 << 8);
    procended(b, 4 << 8); // a second end of the same process is no end
    procended(a, 0);
    procended(root, SIGSEGV);
    EXPECT_EQ(drain(),
              (lines{"new 1 /bin/root", "new 101 /bin/root", "new 102 /bin/b", "new 103 /bin/c",
                     "exit 103 9", "exit 102 3", "exit 101 0", "crash 1 139", "zero"}));
    for (proc *p : {a, b, c})
        releaseproc(p);
}

// ResumeThread, which the set-up called, lets the root run only once its new-process packet
// has been handled, and the lines of it written out: its own output comes after them.
TEST_F(Records, TheRootRunsOnceItsLinesAreOut)
{
    EXPECT_EQ(handledatresume, -1);
    procended(root, 0);
    EXPECT_EQ(drain(), (lines{"new 1 /bin/root", "exit 1 0", "zero"}));
    EXPECT_EQ(handledatresume, 1);
}

// If it was already due by the first wait, it is announced without one.
TEST_F(Records, AChildThatDoesNothingIsAnnouncedByItsDeadline)
{
    proc *child = procforked(root, 104, nullptr);
    waits = 2; // one until its deadline, one more to read what came meanwhile
    EXPECT_EQ(drain(), (lines{"new 1 /bin/root", "new 104 /bin/root", "zero"}));
    ASSERT_FALSE(timeouts.empty());
    EXPECT_TRUE(timeouts[0] == -1 || (timeouts[0] >= 0 && timeouts[0] <= ANNOUNCEDELAY))
        << timeouts[0];
    releaseproc(child);
}

// Its exec came in time, but was read after its deadline: a tracker held up, or one that
// learns of it late. It is named by its exec all the same.
TEST_F(Records, AnExecInTimeThatIsReadLate)
{
    proc *child = procforked(root, 106, nullptr);
    procstarted(child, nowms() - 2 * ANNOUNCEDELAY);
    unreadexec = child;
    waits = 1;
    EXPECT_EQ(drain(), (lines{"new 1 /bin/root", "new 106 /bin/late", "zero"}));
    releaseproc(child);
}

// A real process on the first CPU, spinning, or asleep; starved, it runs only when the
// CPU has nothing else to do.
static pid_t spawn(bool spin, bool starved)
{
    pid_t pid = fork();
    if (pid == 0) {
        cpu_set_t first;
        CPU_ZERO(&first);
        CPU_SET(0, &first);
        sched_setaffinity(0, sizeof first, &first);
        struct sched_param none = {};
        if (starved)
            sched_setscheduler(0, SCHED_IDLE, &none);
        for (;;)
            if (!spin)
                pause();
    }
    return pid;
}

// Announcements falling due, as the job's wait for packets makes them fall, each after a
// read of events, until done() or the scaled deadline of ms has passed.
static bool announceuntil(const std::function<bool()> &done, long ms)
{
    for (long waited = 0; !done() && waited < ms; waited += 5) {
        announcedue();
        readingevents();
        usleep(5000);
    }
    return done();
}

// A child kept from the CPU has not had its chance to exec: however long that lasts, it is
// not announced while it waits. Once it runs, without exec'ing, it is, as one asleep is by
// its deadline.
TEST_F(Records, AChildKeptFromTheCpuIsGivenItsTime)
{
    pid_t hog = spawn(true, false), asleep = spawn(false, false), starved = spawn(true, true);
    proc *a = procforked(root, (DWORD)asleep, nullptr);
    proc *b = procforked(root, (DWORD)starved, nullptr);
    EXPECT_TRUE(announceuntil([&] { return a->announced; }, 10000)) << "the sleeper";
    EXPECT_FALSE(announceuntil([&] { return b->announced; }, 300)) << "the starved child";
    kill(hog, SIGKILL);
    waitpid(hog, nullptr, 0);
    EXPECT_TRUE(announceuntil([&] { return b->announced; }, 10000)) << "the running child";
    for (pid_t pid : {asleep, starved}) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(drain(), (lines{"new 1 /bin/root", "new " + std::to_string(asleep) + " /bin/root",
                              "new " + std::to_string(starved) + " /bin/root", "zero"}));
    releaseproc(a);
    releaseproc(b);
}

// Each packet's handler opens the process the packet was for, though its pid has gone on to
// another; a child reported after its creator's end runs its creator's program; one whose
// creator and program are unknown is named by the error of its name.
TEST_F(Records, AReusedPidAndAnEndWithoutAStart)
{
    proc *first = procforked(root, 105, nullptr);
    procended(first, 5 << 8);
    proc *late = procforked(first, 107, nullptr); // reported after its creator's end
    procended(late, 0);
    proc *second = procforked(root, 105, nullptr);
    procexeced(second, makeimage("/bin/second", 11));
    procended(second, 6 << 8);
    proc *unknown = procforked(nullptr, 106, nullptr);
    procended(unknown, 7 << 8);
    EXPECT_EQ(drain(), (lines{"new 1 /bin/root", "new 105 /bin/root", "exit 105 5",
                              "new 107 /bin/root", "exit 107 0", "new 105 /bin/second",
                              "exit 105 6", "new 106 31", "exit 106 7", "zero"}));
    for (proc *p : {first, late, second, unknown})
        releaseproc(p);
}

// An exec whose program could not be read leaves the process unnamed, not named by the
// program it ran before; a program known only to be too long fails as a name too long does.
TEST_F(Records, ProgramsThatCannotBeTold)
{
    proc *unread = procforked(root, 108, nullptr);
    procexeced(unread, nullptr);
    proc *toolong = procforked(root, 109, nullptr);
    procexeced(toolong, toolongimage());
    procended(unread, 0);
    procended(toolong, 0);
    procended(root, 0);
    EXPECT_EQ(drain(), (lines{"new 1 /bin/root", "new 108 31", "new 109 122", "exit 108 0",
                              "exit 109 0", "exit 1 0", "zero"}));
    for (proc *p : {unread, toolong})
        releaseproc(p);
}

// Signal N ends with 128+N; the signals whose default action dumps core are crashes; the
// code that TerminateProcess gave wins, as a normal end.
TEST_F(Records, TheEndOfEverySignalAndOfTerminateProcess)
{
    struct {
        int status;
        const char *end;
        DWORD code;
    } cases[] = {{SIGABRT, "crash", 134}, {SIGBUS, "crash", 135},  {SIGFPE, "crash", 136},
                 {SIGILL, "crash", 132},  {SIGQUIT, "crash", 131}, {SIGSEGV, "crash", 139},
                 {SIGSYS, "crash", 159},  {SIGTRAP, "crash", 133}, {SIGXCPU, "crash", 152},
                 {SIGXFSZ, "crash", 153}, {SIGTERM, "exit", 143},  {SIGKILL, "exit", 137},
                 {SIGINT, "exit", 130},   {0, "exit", 0},          {255 << 8, "exit", 255}};
    lines want = {"new 1 /bin/root"};
    DWORD pid = 110;
    for (auto &c : cases) {
        proc *p = procforked(root, pid, nullptr);
        procended(p, c.status);
        releaseproc(p);
        want.push_back("new " + std::to_string(pid) + " /bin/root");
        want.push_back(std::string(c.end) + " " + std::to_string(pid) + " " +
                       std::to_string(c.code));
        pid++;
    }
    // A child of the test stands for the process that TerminateProcess ends.
    pid_t victim = fork();
    if (victim == 0) {
        pause();
        _exit(0);
    }
    proc *p = procforked(root, (DWORD)victim, nullptr);
    EXPECT_TRUE(TerminateProcess(p, 42));
    int status = 0;
    waitpid(victim, &status, 0);
    procended(p, status);
    EXPECT_FALSE(TerminateProcess(p, 43)); // it has ended: nothing to end
    releaseproc(p);
    want.push_back("new " + std::to_string(victim) + " /bin/root");
    want.push_back("exit " + std::to_string(victim) + " 42");
    want.push_back("zero");
    EXPECT_EQ(drain(), want);
}

// What the core's table holds of a process, the handle it opened at the new-process packet,
// tells the process's end after the process's own record has gone, as it does for every
// process of a long run.
TEST_F(Records, AnOpenedHandleKeepsTheCodeOnceTheRecordHasGone)
{
    proc *p = procforked(root, 108, nullptr);
    procexeced(p, makeimage("/bin/kept", 9));
    HANDLE kept = nullptr;
    DWORD message, code = 0;
    ULONG_PTR key;
    LPOVERLAPPED overlapped;
    while (!kept && GetQueuedCompletionStatus(port, &message, &key, &overlapped, INFINITE))
        if ((DWORD)(ULONG_PTR)overlapped == 108)
            kept = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 108);
    ASSERT_NE(kept, nullptr);
    wchar_t name[MAX_PATH];
    EXPECT_EQ(GetProcessImageFileNameW(kept, name, MAX_PATH), 9u);
    EXPECT_TRUE(GetExitCodeProcess(kept, &code));
    EXPECT_EQ(code, 259u); // STILL_ACTIVE
    procended(p, 4 << 8);
    releaseproc(p); // the tracker's; the packets' go as they are handled
    EXPECT_EQ(drain(), (lines{"exit 108 4", "zero"}));
    EXPECT_TRUE(GetExitCodeProcess(kept, &code));
    EXPECT_EQ(code, 4u);
    EXPECT_EQ(GetProcessImageFileNameW(kept, name, MAX_PATH), 0u); // its packet is gone
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_TRUE(CloseHandle(kept));
}

// What the record asks of each process, at its packets, as the core asks it: its creator
// and arguments when it joins, its times, usage and signal when it ends.
TEST_F(Records, TheRecordAsksWhatTheTrackerTold)
{
    proc *a = procforked(root, 101, nullptr);
    image *img = makeimage("/bin/a", 6);
    ASSERT_TRUE(imageargs(img, "a\0-x y\0\0", 8));
    procexeced(a, img);
    procforkedat(a, 1000000000ull);
    proc *b = procforked(a, 102, nullptr); // inherits a's program and arguments
    proccreator(b, 4242);                  // a creator the tracker knew by pid alone
    procusage(a, 2500000, 1000, 77);
    procendedat(a, 3000000000ull);
    procended(a, SIGTERM);
    procended(b, 0); // no usage told, its end when reported
    procended(root, 0);
    std::vector<std::string> seen;
    DWORD message;
    ULONG_PTR key;
    LPOVERLAPPED overlapped;
    while (GetQueuedCompletionStatus(port, &message, &key, &overlapped, INFINITE) &&
           message != JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
        DWORD pid = (DWORD)(ULONG_PTR)overlapped;
        // The root is asked through its creation handle, the others through one opened.
        HANDLE h =
            pid == rootpid ? info.hProcess : OpenProcess(PROCESS_QUERY_INFORMATION, 0, pid);
        std::string id = pid == rootpid ? "root" : std::to_string(pid);
        if (message == JOB_OBJECT_MSG_NEW_PROCESS) {
            PROCESS_BASIC_INFORMATION basic;
            ASSERT_EQ(NtQueryInformationProcess(h, ProcessBasicInformation, &basic,
                                                sizeof basic, nullptr),
                      STATUS_SUCCESS);
            ULONG size = 0;
            ASSERT_EQ(
                NtQueryInformationProcess(h, ProcessCommandLineInformation, nullptr, 0, &size),
                STATUS_INFO_LENGTH_MISMATCH);
            std::vector<char> block(size);
            ASSERT_EQ(NtQueryInformationProcess(h, ProcessCommandLineInformation, block.data(),
                                                size, nullptr),
                      STATUS_SUCCESS);
            auto *text = (UNICODE_STRING *)block.data();
            std::wstring args(text->Buffer, text->Length / sizeof(wchar_t));
            std::replace(args.begin(), args.end(), L'\0', L'|');
            ULONG_PTR creator = basic.InheritedFromUniqueProcessId;
            std::string by = creator == (ULONG_PTR)getpid() ? "dorvane"
                             : creator == rootpid           ? "root"
                                                            : std::to_string(creator);
            seen.push_back("new " + id + " by " + by + " " +
                           std::string(args.begin(), args.end()));
        } else {
            FILETIME times[4];
            ASSERT_TRUE(GetProcessTimes(h, &times[0], &times[1], &times[2], &times[3]));
            uint64_t t[4];
            for (int i = 0; i < 4; i++)
                t[i] = (uint64_t)times[i].dwHighDateTime << 32 | times[i].dwLowDateTime;
            PROCESS_MEMORY_COUNTERS memory;
            bool peak = GetProcessMemoryInfo(h, &memory, sizeof memory);
            uint64_t now = nowns() / 100;
            bool endnow = t[1] <= now && now - t[1] < 100000000; // within 10 s
            std::string when = endnow ? "now" : "then";
            if (pid == 101)
                when = std::to_string(t[0]) + "-" + std::to_string(t[1]);
            std::string end = "end " + id;
            end += " signal " + std::to_string(platformexitsignal(h)) + " " + when;
            end += " cpu " + std::to_string(t[3]) + "/" + std::to_string(t[2]);
            end += " peak ";
            end += peak ? std::to_string(memory.PeakWorkingSetSize) : "none";
            seen.push_back(end);
        }
        if (h != info.hProcess)
            CloseHandle(h);
    }
    std::string unknown = std::to_string(UINT64_MAX);
    EXPECT_EQ(seen,
              (lines{"new root by dorvane /bin/true|", "new 101 by root a|-x y||",
                     "end 101 signal 15 10000000-30000000 cpu 25000/10 peak 78848",
                     "new 102 by 4242 a|-x y||",
                     "end 102 signal 0 now cpu " + unknown + "/" + unknown + " peak none",
                     "end root signal 0 now cpu " + unknown + "/" + unknown + " peak none"}));
    for (proc *p : {a, b})
        releaseproc(p);
}
