// The errno table: the codes a failed start must show, and errno values it has no row for.
#include "linux.h"

#include <gtest/gtest.h>

#include <errno.h>

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
