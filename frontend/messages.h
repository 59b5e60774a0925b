// Every text that dorvane writes. Formats for wprintf carry their own newline; the texts
// written with _putws get theirs from it.
#pragma once

#define MSGUSAGE L"dorvane.exe SOME_PROGRAM_TO_RUN.exe [ARGUMENTS_FOR_PROGRAM] [...]"
#define MSGHEAPCREATE L"dorvane.exe: HeapCreate() failed!"
#define MSGHEAPALLOC L"dorvane.exe: HeapAlloc() failed!"
#define MSGEXITING L"dorvane.exe: Exiting with exit code 0x%x\n"

#define MSGCREATEJOB L"dorvane.exe: CreateJobObject() failed"
#define MSGCREATEPORT L"dorvane.exe: CreateIoCompletionPort() failed errno 0x%x\n"
#define MSGSETINFO L"dorvane.exe: SetInformationJobObject() failed errno 0x%x\n"
#define MSGCREATEPROC L"dorvane.exe: CreateProcess() failed errno 0x%x\n"
#define MSGMADEPID L"dorvane.exe: CreateProcess() made pid = %u\n"
#define MSGASSIGN L"dorvane.exe: AssignProcessToJobObject() failed errno 0x%x\n"
#define MSGTERMINATING L"Terminating the suspended child..."
#define MSGRESUME L"dorvane.exe: ResumeThread() failed errno 0x%x\n"
#define MSGTERMINATE L"dorvane.exe: TerminateProcess() failed errno 0x%x\n"
#define MSGEXITCODE L"dorvane.exe: GetExitCodeProcess() failed errno 0x%x\n"
#define MSGDEQUEUE L"dorvane.exe: GetQueuedCompletionStatus() failed errno 0x%x\n"
#define MSGROOTEXIT L"root process exited with exit code 0x%x\n"

#define MSGOPENPROC L"OpenProcess() failed errno 0x%x\n"
#define MSGIMAGENAME L"GetProcessImageFileName() failed errno 0x%x\n"
#define MSGFILE L"file \"%ls\"\n"
#define MSGTABLEALLOC L"\t\tHeapAlloc() failed!"
#define MSGNEWPROC L"\tnew process pid %u\n"
#define MSGEXITPROC L"\texit process pid %u ecode 0x%x\n"
#define MSGEXITPROCNOCODE L"\texit process pid %u\n"
#define MSGCRASHPROC L"\tcrash process pid %u ecode 0x%x\n"
#define MSGCRASHPROCNOCODE L"\tcrash process pid %u\n"
