// The subset of the Windows API that the core uses, declared for systems that are not
// Windows. Types, constants and prototypes match the Windows headers, so the core compiles
// unchanged; their meaning comes from whichever implementation the build links.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef ULONG *PULONG;
typedef LONG NTSTATUS;
typedef int BOOL;
typedef void *HANDLE;
typedef void *PVOID;
typedef void *LPVOID;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR *PULONG_PTR;
typedef size_t SIZE_T;
typedef DWORD *LPDWORD;
typedef wchar_t WCHAR;
typedef wchar_t *LPWSTR;
typedef const wchar_t *LPCWSTR;
typedef const wchar_t *LPCWCH;
typedef char *LPSTR;
typedef const char *LPCCH;
typedef const void *LPCVOID;
typedef BOOL *LPBOOL;

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAX_PATH 260

#define HEAP_NO_SERIALIZE 0x00000001u
#define CREATE_SUSPENDED 0x00000004u
#define PROCESS_QUERY_INFORMATION 0x0400u

#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define CREATE_ALWAYS 2u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define CP_UTF8 65001u
#define WC_ERR_INVALID_CHARS 0x00000080u

#define JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO 4
#define JOB_OBJECT_MSG_NEW_PROCESS 6
#define JOB_OBJECT_MSG_EXIT_PROCESS 7
#define JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS 8

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_NOT_ENOUGH_QUOTA 1816u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_GEN_FAILURE 31u
#define ERROR_ABANDONED_WAIT_0 735u
#define ERROR_CANT_RESOLVE_FILENAME 1921u
#define ERROR_INVALID_NAME 123u
#define ERROR_NO_UNICODE_TRANSLATION 1113u

#define STATUS_SUCCESS ((NTSTATUS)0)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004u)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008u)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003u)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225u)

typedef enum _JOBOBJECTINFOCLASS {
    JobObjectAssociateCompletionPortInformation = 7,
} JOBOBJECTINFOCLASS;

typedef enum _PROCESSINFOCLASS {
    ProcessBasicInformation = 0,
    ProcessCommandLineInformation = 60,
} PROCESSINFOCLASS;

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

typedef struct _JOBOBJECT_ASSOCIATE_COMPLETION_PORT {
    PVOID CompletionKey;
    HANDLE CompletionPort;
} JOBOBJECT_ASSOCIATE_COMPLETION_PORT;

typedef struct _STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE *lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _PROCESS_MEMORY_COUNTERS {
    DWORD cb;
    DWORD PageFaultCount;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage;
    SIZE_T QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
} PROCESS_MEMORY_COUNTERS, *PPROCESS_MEMORY_COUNTERS;

typedef struct _PROCESS_BASIC_INFORMATION {
    NTSTATUS ExitStatus;
    PVOID PebBaseAddress;
    ULONG_PTR AffinityMask;
    LONG BasePriority;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR InheritedFromUniqueProcessId;
} PROCESS_BASIC_INFORMATION;

// Its lengths are 32-bit here, where Windows has 16: a Linux program's arguments may take
// far more than 64 KB. The core reads them as numbers and never relies on their width.
typedef struct _UNICODE_STRING {
    uint32_t Length; // in bytes, without a terminator
    uint32_t MaximumLength;
    LPWSTR Buffer;
} UNICODE_STRING;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

DWORD GetLastError(void);
[[noreturn]] void ExitProcess(UINT code);
HANDLE HeapCreate(DWORD options, SIZE_T initialsize, SIZE_T maximumsize);
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);
BOOL CloseHandle(HANDLE handle);
HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name);
HANDLE CreateIoCompletionPort(HANDLE file, HANDLE port, ULONG_PTR key, DWORD threads);
BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoclass, LPVOID info,
                             DWORD infolength);
BOOL CreateProcessW(LPCWSTR applicationname, LPWSTR commandline,
                    LPSECURITY_ATTRIBUTES processattributes,
                    LPSECURITY_ATTRIBUTES threadattributes, BOOL inherithandles,
                    DWORD creationflags, LPVOID environment, LPCWSTR currentdirectory,
                    LPSTARTUPINFOW startupinfo, LPPROCESS_INFORMATION processinformation);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
DWORD ResumeThread(HANDLE thread);
BOOL TerminateProcess(HANDLE process, UINT exitcode);
BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key,
                               LPOVERLAPPED *overlapped, DWORD milliseconds);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitcode);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid);
DWORD GetProcessImageFileNameW(HANDLE process, LPWSTR name, DWORD size);
// Where these mean something else on Linux than on Windows, the core relies only on what
// both give. Times are of the monotonic clock there, as GetSystemTimeAsFileTime's: the core
// takes only their differences; a CPU time that no tracker could tell reads as all ones, a
// value Windows never gives. A program gets a vector of arguments there, not one line: the
// command line holds them each followed by a NUL, which no Windows command line holds.
BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user);
BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD size);
NTSTATUS NtQueryInformationProcess(HANDLE process, PROCESSINFOCLASS infoclass, PVOID info,
                                   ULONG length, PULONG returned);
void GetSystemTimeAsFileTime(LPFILETIME now);
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE templatefile);
BOOL WriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written,
               LPOVERLAPPED overlapped);
int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWCH text, int length, LPSTR bytes,
                        int size, LPCCH defaultchar, LPBOOL useddefault);
