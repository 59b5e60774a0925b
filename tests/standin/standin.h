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
};

struct standinstate {
    // What the test scripts.
    std::map<std::string, std::map<int, DWORD>> failures; // service -> nth call -> error
    std::deque<standinpacket> packets;
    std::map<DWORD, standinproc> procs;
    DWORD rootpid = 100;

    // What the core did.
    std::vector<std::string> calls;
    std::wstring out;
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
// The label the log uses for a handle the core was given ("job", "process 100", ...).
std::string standinlabel(HANDLE handle);
