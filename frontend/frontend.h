// The front end's globals and its one exit path, shared with the supervisor.
#pragma once

#include "platform.h"

extern HANDLE hh; // private heap: every dynamic allocation of the run comes from it
extern DWORD
    winerrno; // last recorded Windows error code; at the normal end, the root's exit code

[[noreturn]] void myexit(DWORD code);
extern "C" int wmain(int argc, wchar_t **argv);
