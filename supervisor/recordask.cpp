// What the record asks of the system about a process: its creator and its command line
// when it joins, while it still runs; its times, its use of the machine and the signal
// that ended it, once it has ended. What the system cannot tell is left unknown.
#include "record.h"

int64_t ticksof(const FILETIME *t)
{
    return (int64_t)((uint64_t)t->dwHighDateTime << 32 | t->dwLowDateTime);
}

int64_t ticksnow(void)
{
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    return ticksof(&t);
}

// The command line as the system tells it, into a block of its own, asked once for the
// block's size.
static void readcommandline(recorded *r, HANDLE process)
{
    ULONG size = 0;
    if (NtQueryInformationProcess(process, ProcessCommandLineInformation, nullptr, 0, &size) !=
            STATUS_INFO_LENGTH_MISMATCH ||
        size < sizeof(UNICODE_STRING))
        return;
    void *block = HeapAlloc(hh, 0, size);
    if (!block)
        return;
    UNICODE_STRING *text = (UNICODE_STRING *)block;
    if (NtQueryInformationProcess(process, ProcessCommandLineInformation, block, size,
                                  nullptr) != STATUS_SUCCESS) {
        HeapFree(hh, 0, block);
        return;
    }
    r->argv = text->Buffer;
    r->argvlength = text->Length / sizeof(wchar_t);
    r->argvblock = block;
}

void asknew(recorded *r, HANDLE process)
{
    PROCESS_BASIC_INFORMATION basic;
    if (process &&
        NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic,
                                  nullptr) == STATUS_SUCCESS &&
        basic.InheritedFromUniqueProcessId) {
        r->hasppid = true;
        r->ppid = (DWORD)basic.InheritedFromUniqueProcessId;
    }
    if (process)
        readcommandline(r, process);
}

// A CPU time that the system could not tell reads as all ones.
static bool cputime(const FILETIME *t, int64_t *ticks)
{
    *ticks = ticksof(t);
    return t->dwLowDateTime != 0xffffffffu || t->dwHighDateTime != 0xffffffffu;
}

void askend(HANDLE process, int64_t origin, endfacts *f)
{
    *f = endfacts();
    if (!process)
        return;
    FILETIME creation, exit, kernel, user;
    if (GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
        f->hastimes = true;
        f->start = ticksof(&creation) - origin;
        f->end = ticksof(&exit) - origin;
        f->hascpu = cputime(&user, &f->user) && cputime(&kernel, &f->system);
    }
    // A peak of none is one the system no longer knows (Wine's, once a process has ended).
    PROCESS_MEMORY_COUNTERS memory;
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, &memory, sizeof memory))
        f->maxrss = memory.PeakWorkingSetSize / 1024;
    f->signal = platformexitsignal(process);
    f->codelost = !platformexitknown(process);
}
