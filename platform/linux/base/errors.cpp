// The last error of the Linux platform, and the one table that turns errno values into the
// Windows error codes that GetLastError returns and dorvane's messages print.
#include "linux.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// Codes of the table that the core's subset of the Windows headers does not name.
#ifndef ERROR_WRITE_PROTECT
#define ERROR_WRITE_PROTECT 19u
#endif
#ifndef ERROR_SHARING_VIOLATION
#define ERROR_SHARING_VIOLATION 32u
#endif
#ifndef ERROR_DISK_FULL
#define ERROR_DISK_FULL 112u
#endif
#ifndef ERROR_WAIT_NO_CHILDREN
#define ERROR_WAIT_NO_CHILDREN 128u
#endif
#ifndef ERROR_OPERATION_ABORTED
#define ERROR_OPERATION_ABORTED 995u
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998u
#endif

// Windows reserves bit 29 of an error code for codes defined by applications; no system
// code has it. An errno without a row below comes out as this bit plus the errno, so the
// message still tells which errno it was (errno 0x2000005f is errno 95).
static const DWORD unmappederrno = 0x20000000u;

// Error code of the service that failed last. Windows keeps one per thread; the platform
// serves one thread.
static DWORD lasterror;
// The reason of the last failure noted and not yet said: its call (null: none), its errno,
// and its likely cause (null: none known).
static const char *reasoncall, *reasoncause;
static int reasonerr;

void setlasterror(DWORD error)
{
    lasterror = error;
}

DWORD GetLastError(void)
{
    return lasterror;
}

// The mapping, chosen so that a failure to start a program reads as CreateProcess's own
// error would on Windows: a directory is access denied there too, a command line that is
// too long is ERROR_FILENAME_EXCED_RANGE, and a job's process limit is
// ERROR_NOT_ENOUGH_QUOTA, the nearest thing to fork's EAGAIN. ESRCH is what OpenProcess
// gives for a process that is gone: invalid parameter.
struct errnorow {
    int err;
    DWORD code;
};

// clang-format off
static const errnorow errnotable[] = {
    // errno         Windows code                    hex    Windows text
    {EPERM,          ERROR_ACCESS_DENIED},        // 0x5    Access is denied.
    {ENOENT,         ERROR_FILE_NOT_FOUND},       // 0x2    The system cannot find the file specified.
    {ESRCH,          ERROR_INVALID_PARAMETER},    // 0x57   The parameter is incorrect.
    {EINTR,          ERROR_OPERATION_ABORTED},    // 0x3e3  The I/O operation has been aborted...
    {EIO,            ERROR_GEN_FAILURE},          // 0x1f   A device attached to the system is not functioning.
    {ENXIO,          ERROR_FILE_NOT_FOUND},       // 0x2    (a device or address that is not there)
    {E2BIG,          ERROR_FILENAME_EXCED_RANGE}, // 0xce   The filename or extension is too long.
    {ENOEXEC,        ERROR_BAD_EXE_FORMAT},       // 0xc1   ... is not a valid Win32 application.
    {EBADF,          ERROR_INVALID_HANDLE},       // 0x6    The handle is invalid.
    {ECHILD,         ERROR_WAIT_NO_CHILDREN},     // 0x80   There are no child processes to wait for.
    {EAGAIN,         ERROR_NOT_ENOUGH_QUOTA},     // 0x718  Not enough quota is available...
    {ENOMEM,         ERROR_NOT_ENOUGH_MEMORY},    // 0x8    Not enough memory resources are available...
    {EACCES,         ERROR_ACCESS_DENIED},        // 0x5    Access is denied.
    {EFAULT,         ERROR_NOACCESS},             // 0x3e6  Invalid access to memory location.
    {ENOTDIR,        ERROR_PATH_NOT_FOUND},       // 0x3    The system cannot find the path specified.
    {EISDIR,         ERROR_ACCESS_DENIED},        // 0x5    Access is denied.
    {EINVAL,         ERROR_INVALID_PARAMETER},    // 0x57   The parameter is incorrect.
    {ENFILE,         ERROR_TOO_MANY_OPEN_FILES},  // 0x4    The system cannot open the file.
    {EMFILE,         ERROR_TOO_MANY_OPEN_FILES},  // 0x4    The system cannot open the file.
    {ETXTBSY,        ERROR_SHARING_VIOLATION},    // 0x20   ... being used by another process.
    {ENOSPC,         ERROR_DISK_FULL},            // 0x70   There is not enough space on the disk.
    {EROFS,          ERROR_WRITE_PROTECT},        // 0x13   The media is write protected.
    {EPIPE,          ERROR_BROKEN_PIPE},          // 0x6d   The pipe has been ended.
    {ERANGE,         ERROR_INSUFFICIENT_BUFFER},  // 0x7a   The data area passed to a system call is too small.
    {ENAMETOOLONG,   ERROR_FILENAME_EXCED_RANGE}, // 0xce   The filename or extension is too long.
    {ENOSYS,         ERROR_NOT_SUPPORTED},        // 0x32   The request is not supported.
    {ELOOP,          ERROR_CANT_RESOLVE_FILENAME},// 0x781  The name of the file cannot be resolved by the system.
    {ELIBBAD,        ERROR_BAD_EXE_FORMAT},       // 0xc1   (an ELF interpreter in no known format)
    {EILSEQ,         ERROR_INVALID_NAME},         // 0x7b   The filename, directory name, or volume label syntax is incorrect.
    {EOPNOTSUPP,     ERROR_NOT_SUPPORTED},        // 0x32   The request is not supported.
    {ENOBUFS,        ERROR_OUTOFMEMORY},          // 0xe    Not enough memory resources are available...
};
// clang-format on

DWORD winerror(int err)
{
    if (err == 0)
        return ERROR_SUCCESS;
    for (const errnorow &row : errnotable)
        if (row.err == err)
            return row.code;
    return unmappederrno | (DWORD)err;
}

DWORD noteerror(const char *call, int err, const char *cause)
{
    reasoncall = call;
    reasonerr = err;
    reasoncause = cause;
    return winerror(err);
}

void forgeterror(void)
{
    reasoncall = nullptr;
}

// dorvane sets no locale: strerror speaks the C locale's English, as the core's lines do.
void sayerror(void)
{
    if (!reasoncall)
        return;
    char text[512];
    int length =
        snprintf(text, sizeof text, "dorvane: %s: %s%s%s\n", reasoncall, strerror(reasonerr),
                 reasoncause ? ": " : "", reasoncause ? reasoncause : "");
    reasoncall = nullptr;
    holdnoprivilege();
    if (length > (int)sizeof text - 1)
        length = (int)sizeof text - 1;
    if (write(STDERR_FILENO, text, (size_t)length) < 0) {
        // nowhere else to say it
    }
}
