// The errno table: the codes a failed start must show, and errno values it has no row for.
#include "linux.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(Errors, ErrnoMapsToTheWindowsCode)
{
    struct {
        int err;
        DWORD code;
    } cases[] = {
        {0, 0x0},      {ENOENT, 0x2},      {ENOTDIR, 0x3},  {EACCES, 0x5}, {EPERM, 0x5},
        {EISDIR, 0x5}, {ENOEXEC, 0xc1},    {ENOMEM, 0x8},   {E2BIG, 0xce}, {ELOOP, 0x781},
        {ESRCH, 0x57}, {EAGAIN, 0x718},    {ETXTBSY, 0x20}, {EMFILE, 0x4}, {ENOSYS, 0x32},
        {EBADF, 0x6},  {EDOM, 0x20000021}, // no row: the application bit and the errno itself
    };
    for (const auto &c : cases)
        EXPECT_EQ(winerror(c.err), c.code) << "errno " << c.err;
}

TEST(Errors, GetLastErrorGivesWhatWasSetLast)
{
    setlasterror(0x2);
    setlasterror(winerror(ENOEXEC));
    EXPECT_EQ(GetLastError(), 0xc1u);
}

// Only 8 bits of a code survive as an exit status: the root's codes fit, but an error code
// such as 0x3e3 does not, and one whose low byte is zero must still read as a failure.
TEST(Errors, ExitStatusKeepsTheLowByteAndNeverTurnsAFailureIntoSuccess)
{
    struct {
        UINT code;
        int status;
    } cases[] = {{0, 0},      {3, 3}, {0x3e3, 0xe3}, {0x100, 0xff}, {0x20000000, 0xff},
                 {0xff, 0xff}};
    for (const auto &c : cases) {
        pid_t pid = fork();
        if (pid == 0)
            ExitProcess(c.code);
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status) << "code 0x" << std::hex << c.code;
    }
}
