// Entry and exit: take the options, refuse a call without a program, make the private
// heap, join the program's arguments into the root's command line, run it, and leave with
// its exit code.
#include "frontend.h"
#include "messages.h"
#include "options.h"
#include "../supervisor/record.h"
#include "../supervisor/supervisor.h"

#include <stdint.h>

HANDLE hh;
DWORD winerrno;

void myexit(DWORD code)
{
    recordclose(code);
    wprintf(MSGEXITING, code);
    ExitProcess(code);
}

// Each of the count arguments is followed by one space, the last one too; nothing is
// quoted, so an argument with blanks reaches the root as several words and an empty one as
// a second space. Returns null when the buffer cannot be had, including when its size
// would not fit in a size_t: a wrapped size would give a buffer too small for the copy.
static wchar_t *joinargs(int count, wchar_t **args)
{
    size_t chars = (size_t)count + 1; // the separators and the terminator
    for (int i = 0; i < count; i++) {
        size_t len = wcslen(args[i]);
        if (len > SIZE_MAX / sizeof(wchar_t) - chars)
            return nullptr;
        chars += len;
    }
    wchar_t *line = (wchar_t *)HeapAlloc(hh, 0, chars * sizeof(wchar_t));
    if (!line)
        return nullptr;
    wchar_t *at = line;
    for (int i = 0; i < count; i++) {
        size_t len = wcslen(args[i]);
        memcpy(at, args[i], len * sizeof(wchar_t));
        at += len;
        *at++ = L' ';
    }
    *at = L'\0';
    return line;
}

// A fault in the options is named, then the usage line follows, as without a program.
static void sayfault(const options *o)
{
    static const wchar_t *const formats[] = {nullptr, MSGBADOPTION, MSGNOARGUMENT,
                                             MSGNEEDLESSARGUMENT};
    wprintf(formats[o->fault], o->faulty);
}

static void sayhelp(void)
{
    static const wchar_t *const help[] = {MSGHELPLINES};
    for (const wchar_t *line : help)
        _putws(line);
}

extern "C" int wmain(int argc, wchar_t **argv)
{
    options given;
    parseoptions(argc, argv, &given);
    if (given.help) {
        sayhelp();
        return 0;
    }
    if (given.version) {
        _putws(MSGVERSION);
        return 0;
    }
    if (given.fault || given.program >= argc) {
        if (given.fault)
            sayfault(&given);
        _putws(MSGUSAGE);
        return ERROR_INVALID_PARAMETER;
    }
    hh = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
    if (!hh) {
        winerrno = GetLastError();
        _putws(MSGHEAPCREATE);
        ExitProcess(winerrno); // no "Exiting" line without a heap
    }
    wchar_t *commandline = joinargs(argc - given.program, argv + given.program);
    if (!commandline) {
        _putws(MSGHEAPALLOC);
        myexit(ERROR_NOT_ENOUGH_MEMORY);
    }
    recordopen(&given, commandline);
    winerrno = runexe(commandline);
    recordrun(winerrno);
    myexit(winerrno);
}
