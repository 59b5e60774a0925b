// The handlers of the job's per-process notifications: a line or three when a process
// joins, one when it ends, each followed by the run's record of the event. Their failures
// are reported and passed over, never fatal.
#include "record.h"
#include "supervisor.h"
#include "../frontend/messages.h"

void onnewproc(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process) {
        winerrno = GetLastError();
        wprintf(MSGOPENPROC, winerrno);
        recordnew(pid, nullptr, nullptr);
    } else {
        wchar_t name[MAX_PATH];
        bool named = GetProcessImageFileNameW(process, name, MAX_PATH) != 0;
        if (named) {
            wprintf(MSGFILE, name);
        } else {
            winerrno = GetLastError();
            wprintf(MSGIMAGENAME, winerrno);
        }
        recordnew(pid, process, named ? name : nullptr); // before the table may close it
        insertproc(pid, process);
    }
    wprintf(MSGNEWPROC, pid);
}

void onexitproc(DWORD pid, bool abnormal)
{
    procnode *node = findproc(pid);
    if (!node) {
        wprintf(abnormal ? MSGCRASHPROCNOCODE : MSGEXITPROCNOCODE, pid);
        recordend(pid, abnormal, nullptr, false, 0);
        return;
    }
    // A failed query gives no code; all ones cannot be mistaken for success (0) and is
    // never an uninitialised value.
    DWORD code = 0xffffffffu;
    if (!GetExitCodeProcess(node->handle, &code)) {
        code = 0xffffffffu;
        winerrno = GetLastError();
        wprintf(MSGEXITCODE, winerrno);
    }
    wprintf(abnormal ? MSGCRASHPROC : MSGEXITPROC, pid, code);
    recordend(pid, abnormal, node->handle, true, code);
}
