// One supervision run: the root program starts suspended inside a new job, so that it and
// everything it starts belong to the job from their first instruction; the run then
// reports the job's notifications until no process of the job is active.
#include "supervisor.h"
#include "../frontend/messages.h"

// The root never ran: end it, and leave with the error that brought us here, or with the
// termination's own if that fails too.
[[noreturn]] static void endsuspendedroot(HANDLE process)
{
    if (!TerminateProcess(process, 0)) {
        winerrno = GetLastError();
        wprintf(MSGTERMINATE, winerrno);
    }
    myexit(winerrno);
}

// Takes packets until the job reports that no process is active. A dequeue that returns
// without a packet is fatal: the port stays open for the whole run, so it cannot recover,
// and going on would repeat the previous packet forever.
static void waitjob(HANDLE job, HANDLE port)
{
    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED slot = nullptr; // the process id travels in the overlapped slot
        if (!GetQueuedCompletionStatus(port, &message, &key, &slot, INFINITE) && !slot) {
            winerrno = GetLastError();
            wprintf(MSGDEQUEUE, winerrno);
            myexit(winerrno);
        }
        DWORD pid = (DWORD)(ULONG_PTR)slot;
        switch (message) {
        case JOB_OBJECT_MSG_NEW_PROCESS:
            onnewproc(pid);
            break;
        case JOB_OBJECT_MSG_EXIT_PROCESS:
            onexitproc(pid, false);
            break;
        case JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS:
            onexitproc(pid, true);
            break;
        }
        if (key == (ULONG_PTR)job && message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
            return;
    }
}

DWORD runexe(wchar_t *commandline)
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) {
        winerrno = GetLastError();
        _putws(MSGCREATEJOB);
        myexit(winerrno);
    }
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (!port) {
        winerrno = GetLastError();
        wprintf(MSGCREATEPORT, winerrno);
        myexit(winerrno);
    }
    // Only the port is set on the job: no kill-on-close and no breakaway, so that the
    // programs outlive us if we are killed, and none of them can leave the job.
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
    association.CompletionKey = job;
    association.CompletionPort = port;
    if (!SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                                 sizeof association)) {
        winerrno = GetLastError();
        wprintf(MSGSETINFO, winerrno);
        myexit(winerrno);
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION root = {};
    if (!CreateProcessW(nullptr, commandline, nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &root)) {
        winerrno = GetLastError();
        wprintf(MSGCREATEPROC, winerrno);
        myexit(winerrno);
    }
    wprintf(MSGMADEPID, root.dwProcessId);
    rootproc.pid = root.dwProcessId;
    rootproc.handle = root.hProcess;

    if (!AssignProcessToJobObject(job, root.hProcess)) {
        winerrno = GetLastError();
        wprintf(MSGASSIGN, winerrno);
        _putws(MSGTERMINATING);
        endsuspendedroot(root.hProcess);
    }
    if (ResumeThread(root.hThread) == (DWORD)-1) {
        winerrno = GetLastError();
        wprintf(MSGRESUME, winerrno);
        endsuspendedroot(root.hProcess);
    }

    waitjob(job, port);

    DWORD code;
    if (!GetExitCodeProcess(root.hProcess, &code)) {
        winerrno = GetLastError();
        wprintf(MSGEXITCODE, winerrno);
        myexit(winerrno);
    }
    CloseHandle(port);
    CloseHandle(job);
    CloseHandle(root.hThread);
    CloseHandle(root.hProcess);
    wprintf(MSGROOTEXIT, code);
    return code;
}
