// What the record asks of a process beyond KERNEL32. NtQueryInformationProcess (the creator,
// the command line) is ntdll's, reached at run time so that dorvane.exe still imports from
// KERNEL32 and msvcrt alone; where it is not there, it fails as for a class it does not
// know, and the record gives null. Wine 8 tells the creator but not a command line.
#include "../platform.h"

typedef NTSTATUS(NTAPI *ntquery)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);

extern "C" NTSTATUS NTAPI NtQueryInformationProcess(HANDLE process, PROCESSINFOCLASS infoclass,
                                                    PVOID info, ULONG length, PULONG returned)
{
    static ntquery query;
    static bool looked;
    if (!looked) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        query =
            ntdll ? (ntquery)(void (*)(void))GetProcAddress(ntdll, "NtQueryInformationProcess")
                  : nullptr;
        looked = true;
    }
    if (!query)
        return (NTSTATUS)0xC0000003L; // STATUS_INVALID_INFO_CLASS
    return query(process, infoclass, info, length, returned);
}

// Windows ends processes by exceptions and exit codes, never by signals.
DWORD platformexitsignal(HANDLE)
{
    return 0;
}

bool platformexitknown(HANDLE)
{
    return true;
}
