// What the run's record asks of a process, from its record: its times, its use of the
// machine, its creator, its arguments and the signal that ended it, as the trackers told
// them. Times are on the monotonic clock, as 100 ns units: the core takes only their
// differences from the root's start.
#include "records.h"

#include <stdlib.h>
#include <string.h>

#define STILL_ACTIVE 259u

proc *handleproc(HANDLE handle)
{
    opened *o = asopened(handle);
    return o ? openedpacketproc(o) : asproc(handle);
}

static void filetime(FILETIME *t, uint64_t ticks)
{
    t->dwLowDateTime = (DWORD)ticks;
    t->dwHighDateTime = (DWORD)(ticks >> 32);
}

// All ones for a time no tracker told: Windows never gives it.
static void cputime(FILETIME *t, uint64_t ns)
{
    filetime(t, ns == UNKNOWNUSE ? UINT64_MAX : ns / 100);
}

void GetSystemTimeAsFileTime(LPFILETIME now)
{
    filetime(now, nowns() / 100);
}

BOOL GetProcessTimes(HANDLE handle, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user)
{
    proc *p = handleproc(handle);
    if (!p) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    filetime(creation, p->startns / 100);
    filetime(exit, p->alive ? 0 : p->endns / 100);
    cputime(kernel, p->alive ? UNKNOWNUSE : p->systemns);
    cputime(user, p->alive ? UNKNOWNUSE : p->userns);
    return TRUE;
}

BOOL GetProcessMemoryInfo(HANDLE handle, PPROCESS_MEMORY_COUNTERS counters, DWORD size)
{
    proc *p = handleproc(handle);
    if (!p || size < sizeof *counters || p->alive || p->maxrsskb == UNKNOWNUSE) {
        setlasterror(!p ? ERROR_INVALID_HANDLE : ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    memset(counters, 0, sizeof *counters);
    counters->cb = sizeof *counters;
    counters->PeakWorkingSetSize = (SIZE_T)p->maxrsskb * 1024;
    return TRUE;
}

DWORD platformexitsignal(HANDLE handle)
{
    proc *p = handleproc(handle);
    return p && !p->alive ? (DWORD)p->signal : 0;
}

bool platformexitknown(HANDLE handle)
{
    proc *p = handleproc(handle);
    return !p || p->alive || !p->codeunknown;
}

// The arguments dorvane was given, a NUL after each, in a block from malloc; null without
// memory.
static char *givenvector(size_t *length)
{
    *length = 0;
    for (char **arg = givenargs(); *arg; arg++)
        *length += strlen(*arg) + 1;
    char *vector = (char *)malloc(*length ? *length : 1), *at = vector;
    for (char **arg = givenargs(); vector && *arg; arg++)
        at = stpcpy(at, *arg) + 1;
    return vector;
}

// The arguments as wide text, a NUL after each, in a block from malloc: those of the exec
// that named the process, or for the root, where no tracker told them, those dorvane was
// given and exec'd. Null if they are unknown, or without memory.
static wchar_t *arguments(proc *p, HANDLE handle, size_t *count)
{
    image *img = p->shown ? p->shown : p->current;
    if (img && img->args)
        return bytestowidecount(img->args, img->argslength, count);
    if (!asproc(handle) || !givenargs())
        return nullptr;
    size_t length;
    char *given = givenvector(&length);
    wchar_t *wide = given ? bytestowidecount(given, length, count) : nullptr;
    free(given);
    return wide;
}

// The creator, and the command line, which here is the exec's vector of arguments. The
// string's characters follow it in the caller's buffer, as on Windows.
NTSTATUS NtQueryInformationProcess(HANDLE handle, PROCESSINFOCLASS infoclass, PVOID info,
                                   ULONG length, PULONG returned)
{
    proc *p = handleproc(handle);
    if (!p)
        return STATUS_INVALID_HANDLE;
    if (infoclass == ProcessBasicInformation) {
        if (length < sizeof(PROCESS_BASIC_INFORMATION))
            return STATUS_INFO_LENGTH_MISMATCH;
        PROCESS_BASIC_INFORMATION *basic = (PROCESS_BASIC_INFORMATION *)info;
        memset(basic, 0, sizeof *basic);
        basic->ExitStatus = (NTSTATUS)(p->alive ? STILL_ACTIVE : p->exitcode);
        basic->UniqueProcessId = p->pid;
        basic->InheritedFromUniqueProcessId = p->creator;
        if (returned)
            *returned = sizeof *basic;
        return STATUS_SUCCESS;
    }
    if (infoclass != ProcessCommandLineInformation)
        return STATUS_INVALID_INFO_CLASS;
    size_t count;
    wchar_t *args = arguments(p, handle, &count);
    if (!args)
        return STATUS_NOT_FOUND;
    size_t needed = sizeof(UNICODE_STRING) + (count + 1) * sizeof(wchar_t);
    if (returned)
        *returned = (ULONG)needed;
    if (length < needed) {
        free(args);
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    UNICODE_STRING *text = (UNICODE_STRING *)info;
    text->Buffer = (wchar_t *)(text + 1);
    text->Length = (uint32_t)(count * sizeof(wchar_t));
    text->MaximumLength = (uint32_t)((count + 1) * sizeof(wchar_t));
    memcpy(text->Buffer, args, (count + 1) * sizeof(wchar_t));
    free(args);
    return STATUS_SUCCESS;
}
