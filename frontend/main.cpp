// Entry and exit: refuse a call without a program, make the private heap, join the
// arguments into the root's command line, run it, and leave with its exit code.
#include "frontend.h"
#include "messages.h"
#include "../supervisor/supervisor.h"

#include <stdint.h>

HANDLE hh;
DWORD winerrno;

void myexit(DWORD code)
{
    wprintf(MSGEXITING, code);
    ExitProcess(code);
}

// Each argument is followed by one space, the last one too; nothing is quoted, so an
// argument with blanks reaches the root as several words and an empty one as a second
// space. Returns null when the buffer cannot be had, including when its size would not fit
// in a size_t: a wrapped size would give a buffer too small for the copy.
static wchar_t *joinargs(int argc, wchar_t **argv)
{
    size_t chars = (size_t)argc; // argc - 1 separators and the terminator
    for (int i = 1; i < argc; i++) {
        size_t len = wcslen(argv[i]);
        if (len > SIZE_MAX / sizeof(wchar_t) - chars)
            return nullptr;
        chars += len;
    }
    wchar_t *line = (wchar_t *)HeapAlloc(hh, 0, chars * sizeof(wchar_t));
    if (!line)
        return nullptr;
    wchar_t *at = line;
    for (int i = 1; i < argc; i++) {
        size_t len = wcslen(argv[i]);
        memcpy(at, argv[i], len * sizeof(wchar_t));
        at += len;
        *at++ = L' ';
    }
    *at = L'\0';
    return line;
}

extern "C" int wmain(int argc, wchar_t **argv)
{
    if (argc <= 1) {
        _putws(MSGUSAGE);
        return ERROR_INVALID_PARAMETER;
    }
    hh = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
    if (!hh) {
        winerrno = GetLastError();
        _putws(MSGHEAPCREATE);
        ExitProcess(winerrno); // no "Exiting" line without a heap
    }
    wchar_t *commandline = joinargs(argc, argv);
    if (!commandline) {
        _putws(MSGHEAPALLOC);
        myexit(ERROR_NOT_ENOUGH_MEMORY);
    }
    winerrno = runexe(commandline);
    myexit(winerrno);
}
