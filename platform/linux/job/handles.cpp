// Process and thread handles: small records in memory, never a file descriptor, that keep
// a process's exit code after its end; and the services that close and read them.
#include "records.h"

#include <stdlib.h>
#include <string.h>

#define STILL_ACTIVE 259u

BOOL CloseHandle(HANDLE handle)
{
    unsigned char *kind = (unsigned char *)handle;
    if (!kind || handle == INVALID_HANDLE_VALUE) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (*kind) {
    case KINDPROCESS:
        releaseproc((proc *)handle);
        return TRUE;
    case KINDOPENED:
        closeopened((opened *)handle);
        return TRUE;
    case KINDTHREAD:
        releaseproc(((thread *)handle)->process);
        *kind = 0;
        free(handle);
        return TRUE;
    case KINDJOB:
    case KINDPORT:
        // One of each per run, released with the process; closed, they refuse further use.
        *kind = 0;
        return TRUE;
    case KINDHEAP:
        return TRUE;
    case KINDFILE:
        closefile(handle);
        return TRUE;
    }
    setlasterror(ERROR_INVALID_HANDLE);
    return FALSE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD pid)
{
    // The core opens only the process of the packet it has just dequeued.
    proc *p = packetproc(pid);
    if (!p) {
        setlasterror(ERROR_INVALID_PARAMETER); // what Windows says for a pid with no process
        return nullptr;
    }
    opened *o = openproc(p);
    if (!o)
        setlasterror(ERROR_NOT_ENOUGH_MEMORY);
    return o;
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exitcode)
{
    proc *p = asproc(handle);
    opened *o = asopened(handle);
    if (!p && !o) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool alive = p ? p->alive : o->alive;
    *exitcode = alive ? STILL_ACTIVE : p ? p->exitcode : o->exitcode;
    return TRUE;
}

// The core reads the program of the process it has just opened, for the packet it has just
// dequeued, or of the root through its creation handle.
DWORD GetProcessImageFileNameW(HANDLE handle, LPWSTR name, DWORD size)
{
    opened *o = asopened(handle);
    proc *p = o ? openedpacketproc(o) : asproc(handle);
    if (!p) {
        setlasterror(o ? ERROR_GEN_FAILURE : ERROR_INVALID_HANDLE); // its record has gone
        return 0;
    }
    image *img = p->shown ? p->shown : p->current;
    if (!img) {
        setlasterror(ERROR_GEN_FAILURE); // a program no tracker could tell
        return 0;
    }
    if (img->toolong) {
        setlasterror(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    wchar_t *wide = bytestowide(img->path, strlen(img->path));
    if (!wide) {
        setlasterror(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    size_t length = wcslen(wide);
    if (length >= size) {
        free(wide);
        setlasterror(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(name, wide, (length + 1) * sizeof(wchar_t));
    free(wide);
    return (DWORD)length;
}
