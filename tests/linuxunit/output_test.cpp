// Standard output: every message of the catalogue as the bytes it must give, escaped name
// bytes, UTF-8 under any locale, an output that takes lines slowly, and one that cannot be
// written. The calls go by their platform names: <cwchar>, which gtest includes, undefines
// wprintf and _putws.
#include "linux.h"
#include "../../frontend/messages.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

// Runs call with file descriptor 1 on a temporary file and returns what reached the file.
// The queue is drained after the call, as every exit drains it; a line held in any other
// buffer would be missing.
static std::string capture(const std::function<void()> &call)
{
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE *file = tmpfile();
    dup2(fileno(file), STDOUT_FILENO);
    call();
    drainoutput();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    char chunk[4096];
    lseek(fileno(file), 0, SEEK_SET);
    for (ssize_t got; (got = read(fileno(file), chunk, sizeof chunk)) > 0;)
        text.append(chunk, (size_t)got);
    fclose(file);
    return text;
}

TEST(Output, EveryMessageGivesItsBytes)
{
    struct {
        std::function<void()> call;
        std::string expected;
    } cases[] = {
        {[] { platformputws(MSGUSAGE); },
         "dorvane.exe SOME_PROGRAM_TO_RUN.exe [ARGUMENTS_FOR_PROGRAM] [...]\n"},
        {[] { platformputws(MSGHEAPCREATE); }, "dorvane.exe: HeapCreate() failed!\n"},
        {[] { platformputws(MSGHEAPALLOC); }, "dorvane.exe: HeapAlloc() failed!\n"},
        {[] { platformwprintf(MSGEXITING, 0xc0000005u); },
         "dorvane.exe: Exiting with exit code 0xc0000005\n"},
        {[] { platformputws(MSGCREATEJOB); }, "dorvane.exe: CreateJobObject() failed\n"},
        {[] { platformwprintf(MSGCREATEPORT, 0x8u); },
         "dorvane.exe: CreateIoCompletionPort() failed errno 0x8\n"},
        {[] { platformwprintf(MSGSETINFO, 0x57u); },
         "dorvane.exe: SetInformationJobObject() failed errno 0x57\n"},
        {[] { platformwprintf(MSGCREATEPROC, 0xc1u); },
         "dorvane.exe: CreateProcess() failed errno 0xc1\n"},
        {[] { platformwprintf(MSGMADEPID, 4294967295u); },
         "dorvane.exe: CreateProcess() made pid = 4294967295\n"},
        {[] { platformwprintf(MSGASSIGN, 0x5u); },
         "dorvane.exe: AssignProcessToJobObject() failed errno 0x5\n"},
        {[] { platformputws(MSGTERMINATING); }, "Terminating the suspended child...\n"},
        {[] { platformwprintf(MSGRESUME, 0xffffffffu); },
         "dorvane.exe: ResumeThread() failed errno 0xffffffff\n"},
        {[] { platformwprintf(MSGTERMINATE, 0x6u); },
         "dorvane.exe: TerminateProcess() failed errno 0x6\n"},
        {[] { platformwprintf(MSGEXITCODE, 0x6u); },
         "dorvane.exe: GetExitCodeProcess() failed errno 0x6\n"},
        {[] { platformwprintf(MSGDEQUEUE, 0x2dfu); },
         "dorvane.exe: GetQueuedCompletionStatus() failed errno 0x2df\n"},
        {[] { platformwprintf(MSGROOTEXIT, 0u); }, "root process exited with exit code 0x0\n"},
        {[] { platformwprintf(MSGOPENPROC, 0x57u); }, "OpenProcess() failed errno 0x57\n"},
        {[] { platformwprintf(MSGIMAGENAME, 0x7au); },
         "GetProcessImageFileName() failed errno 0x7a\n"},
        {[] { platformwprintf(MSGFILE, L"/usr/bin/caf\u00e9 \U0001f600"); },
         "file \"/usr/bin/caf\xc3\xa9 \xf0\x9f\x98\x80\"\n"},
        {[] {
             platformwprintf(MSGFILE, L"/tmp/a\xdcff\xdc80"
                                      L"b\\x");
         },
         "file \"/tmp/a\\xff\\x80b\\\\x\"\n"},
        // A name cannot break its line or forge another: controls (C1 ones too), Unicode's
        // line and paragraph separators, quotes and backslashes are escaped, so each name
        // reads back unambiguously, also to a reader that splits lines by Unicode's rules.
        {[] {
             platformwprintf(MSGFILE, L"/t/a\n\tnew process pid 4\"\x01\x7f\x1b[0m\u0080\u0085"
                                      L"\u009f\u00a0\u2028\u2029\u202f");
         },
         "file \"/t/a\\n\\tnew process pid 4\\\"\\x01\\x7f\\x1b[0m\\xc2\\x80\\xc2\\x85"
         "\\xc2\\x9f\xc2\xa0\\xe2\\x80\\xa8\\xe2\\x80\\xa9\xe2\x80\xaf\"\n"},
        {[] { platformputws(MSGTABLEALLOC); }, "\t\tHeapAlloc() failed!\n"},
        {[] { platformwprintf(MSGNEWPROC, 1u); }, "\tnew process pid 1\n"},
        {[] { platformwprintf(MSGEXITPROC, 32768u, 0x8bu); },
         "\texit process pid 32768 ecode 0x8b\n"},
        {[] { platformwprintf(MSGEXITPROCNOCODE, 10u); }, "\texit process pid 10\n"},
        {[] { platformwprintf(MSGCRASHPROC, 4194304u, 0x86u); },
         "\tcrash process pid 4194304 ecode 0x86\n"},
        {[] { platformwprintf(MSGCRASHPROCNOCODE, 7u); }, "\tcrash process pid 7\n"},
        {[] { platformwprintf(L"100%% %x%u", 0xabcdefu, 0u); }, "100% abcdef0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(capture(c.call), c.expected);
}

TEST(Output, IsUtf8UnderTheCLocale)
{
    setlocale(LC_ALL, "C");
    EXPECT_EQ(capture([] { platformwprintf(MSGFILE, L"\u00e9\u4e2d"); }),
              "file \"\xc3\xa9\xe4\xb8\xad\"\n");
}

TEST(Output, LongNamesAreWrittenWhole)
{
    std::wstring name = L"/";
    std::string expected = "file \"/";
    for (int i = 0; i < 2000; i++) {
        name += i % 2 ? L'\u00e9' : (wchar_t)0xdcab;
        expected += i % 2 ? "\xc3\xa9" : "\\xab";
    }
    expected += "\"\n";
    EXPECT_EQ(capture([&] { platformwprintf(MSGFILE, name.c_str()); }), expected);
}

// A pipe that takes lines slower than they come, and that a program has made non-blocking
// (the file description is shared): every line arrives, in order.
TEST(Output, LinesWaitUntilTheOutputTakesThem)
{
    int lines[2];
    ASSERT_EQ(pipe(lines), 0);
    fcntl(lines[1], F_SETFL, O_NONBLOCK);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(lines[1], STDOUT_FILENO);
    close(lines[1]);
    std::string expected;
    for (unsigned i = 0; i < 20000; i++) { // some 200 KB, where the pipe holds 64 KB
        platformwprintf(L"line %u\n", i);
        expected += "line " + std::to_string(i) + "\n";
    }
    std::string got;
    std::thread reader([&] {
        char chunk[4096];
        for (ssize_t n; (n = read(lines[0], chunk, sizeof chunk)) > 0;)
            got.append(chunk, (size_t)n);
    });
    drainoutput();
    dup2(saved, STDOUT_FILENO); // the pipe's last writer: the reader sees its end
    close(saved);
    reader.join();
    close(lines[0]);
    EXPECT_EQ(got, expected);
}

// Each way the output can be lost: the calls and the drain come back, errno is left as it
// was, and the next output takes lines again.
TEST(Output, UnwritableOutputIsDroppedAndTheCallReturns)
{
    void (*previous)(int) = signal(SIGPIPE, SIG_IGN); // as dorvane's main does
    int brokenpipe[2];
    ASSERT_EQ(pipe(brokenpipe), 0);
    close(brokenpipe[0]);
    int outputs[] = {-1, open("/dev/full", O_WRONLY), brokenpipe[1]};
    for (int fd : outputs) {
        fflush(stdout);
        int saved = dup(STDOUT_FILENO);
        if (fd < 0)
            close(STDOUT_FILENO);
        else
            dup2(fd, STDOUT_FILENO);
        errno = EDOM;
        platformwprintf(MSGEXITPROC, 1u, 2u);
        platformputws(MSGTERMINATING);
        drainoutput();
        int err = errno;
        dup2(saved, STDOUT_FILENO);
        close(saved);
        EXPECT_EQ(err, EDOM) << "output " << fd;
        if (fd >= 0)
            close(fd);
        EXPECT_EQ(capture([] { platformwprintf(MSGNEWPROC, 5u); }), "\tnew process pid 5\n")
            << "after output " << fd;
    }
    signal(SIGPIPE, previous);
}
