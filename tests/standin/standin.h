// A scripted stand-in for the Windows services: each service succeeds unless a test has
// told it to fail, packets come from a list the test writes, and every call is logged,
// so the core's decisions can be checked line by line without an operating system.
#pragma once

#include "platform.h"

#include <deque>
#include <map>
#include <string>
#include <vector>

struct standinpacket {
    DWORD message;
    DWORD pid;
    bool jobkey = true; // key is the job's handle; otherwise `key`
    ULONG_PTR key = 0;
};

struct standinproc {
    std::wstring image = L"\\Device\\HarddiskVolume1\\bin\\prog.exe";
    DWORD exitcode = 0;
    // What the record asks: the creator (0: none told), the command line (a NUL after each
    // argument for a Linux vector), times and CPU in 100 ns units, the peak in bytes, and
    // the signal that ended it.
    DWORD ppid = 0;
    std::wstring commandline = L"prog.exe ";
    uint64_t creation = 0, exit = 0, kernel = 0, user = 0;
    SIZE_T peak = 0;
    DWORD signal = 0;
    bool codeunknown = false; // its exit code is the stand-in for one the system lost
};

struct standinstate {
    // What the test scripts.
    std::map<std::string, std::map<int, DWORD>> failures; // service -> nth call -> error
    std::deque<standinpacket> packets;
    std::map<DWORD, standinproc> procs;
    DWORD rootpid = 100;
    uint64_t now = 0; // GetSystemTimeAsFileTime, in 100 ns units

    // What the core did.
    std::vector<std::string> calls;
    std::wstring out;
    std::wstring err;                          // standard error
    std::map<std::wstring, std::string> files; // the files created, by name, and their bytes
    std::wstring reportfile; // where the report's lines went from platformreportto on
    std::map<std::string, int> counts;
    std::wstring commandline;
    HANDLE roothandle = nullptr;
    std::vector<SIZE_T> allocsizes;
    bool exitprocess = false; // ended through ExitProcess rather than returning
};

extern standinstate standin;

// Clears the stand-in and the core's globals between tests.
void standinreset();
// The nth call (from 1) of the service fails with the error.
void standinfail(const std::string &service, DWORD error, int nth = 1);
// Runs wmain with argv[0] "dorvane.exe" and these arguments; returns its exit code,
// whether it returned or ended through ExitProcess.
DWORD standinrun(const std::vector<std::wstring> &args);
// The output split into lines (without their newlines).
std::vector<std::wstring> standinlines();
// A file's lines (without their newlines), as bytes.
std::vector<std::string> standinfilelines(const std::wstring &name);
// The label the log uses for a handle the core was given ("job", "process 100", ...).
std::string standinlabel(HANDLE handle);
