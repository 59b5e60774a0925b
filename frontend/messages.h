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

#define MSGBADOPTION L"dorvane.exe: unrecognized option '%ls'\n"
#define MSGNOARGUMENT L"dorvane.exe: option '--%ls' requires an argument\n"
#define MSGNEEDLESSARGUMENT L"dorvane.exe: option '--%ls' doesn't allow an argument\n"
#define MSGVERSION L"dorvane.exe " DORVANE_VERSION
// --help, a line to each _putws.
#define MSGHELPLINES                                                                           \
    L"dorvane.exe [OPTION]... [--] SOME_PROGRAM_TO_RUN.exe [ARGUMENTS_FOR_PROGRAM] [...]",     \
        L"Runs the program and waits until it and every process it starts have ended,",        \
        L"writing a line for each process that joins and for each that ends; exits with",      \
        L"the program's exit code, or with a Windows error code if it cannot run it.", L"",    \
        L"Options, before the program and given in full (\"--\" ends them):",                  \
        L"  --output=FILE  write the report's lines to FILE instead of standard output",       \
        L"  --json=FILE    write one JSON object per process to FILE (JSON Lines) as each",    \
        L"                 ends, and a last one for the run",                                  \
        L"  --trace=FILE   write the processes to FILE as a Chrome trace-event file",          \
        L"                 (Perfetto, chrome://tracing)",                                      \
        L"  --summary      at the end, list the processes that failed on standard error",      \
        L"  --help         write this help and exit",                                          \
        L"  --version      write the version and exit",                                        \
        L"An option's FILE may also be the next argument: --json FILE.", L"", L"Environment:", \
        L"  DORVANE_TRACKER  on Linux, ebpf or ptrace: the tracker that follows the",          \
        L"                   processes (by default eBPF where it loads, else ptrace)"

#define MSGCREATEFILE L"dorvane.exe: --%ls: CreateFile(\"%ls\") failed errno 0x%x\n"
#define MSGWRITEFILE L"dorvane.exe: --%ls: WriteFile() failed errno 0x%x\n"
#define MSGRECORDMEMORY L"dorvane.exe: --%ls: HeapAlloc() failed!\n"
#define MSGSUMMARY L"dorvane.exe: processes %u, failed %u\n"
#define MSGSUMMARYINCOMPLETE L"dorvane.exe: processes %u, failed %u, not reported in full %u\n"
#define MSGSUMMARYCODE L"\t%ls process pid %u ecode 0x%x %ls\n"
#define MSGSUMMARYNOCODE L"\t%ls process pid %u %ls\n"
#define MSGSUMMARYMORE L"\tand %u more\n"
