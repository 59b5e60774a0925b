// Process and thread handles: small records in memory, never a file descriptor, that keep
// a process's exit code after its end; and the services that read them.
#include "records.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define STILL_ACTIVE 259u

proc *newproc(DWORD pid)
{
    proc *p = (proc *)calloc(1, sizeof(proc));
    if (!p)
        return nullptr;
    p->kind = KINDPROCESS;
    p->alive = true;
    p->refs = 1;
    p->pid = pid;
    return p;
}

void holdproc(proc *p)
{
    p->refs++;
}

void releaseproc(proc *p)
{
    if (--p->refs > 0)
        return;
    dropimage(p->current);
    dropimage(p->shown);
    p->kind = (handlekind)0; // a stale handle to it must not pass for a process
    free(p);
}

proc *asproc(HANDLE handle)
{
    proc *p = (proc *)handle;
    return p && handle != INVALID_HANDLE_VALUE && p->kind == KINDPROCESS ? p : nullptr;
}

static image *makeimage(const char *path, size_t length)
{
    image *img = (image *)malloc(sizeof(image) + length + 1);
    if (!img)
        return nullptr;
    img->refs = 1;
    memcpy(img->path, path, length);
    img->path[length] = '\0';
    return img;
}

// /proc/PID/exe names the program while the task is stopped with a live memory map; a
// process that is not dumpable hides it, and then only its short name is left.
image *readimage(pid_t pid)
{
    char link[40], path[4096];
    snprintf(link, sizeof link, "/proc/%d/exe", (int)pid);
    ssize_t length = readlink(link, path, sizeof path);
    if (length > 0 && (size_t)length < sizeof path)
        return makeimage(path, (size_t)length);
    snprintf(link, sizeof link, "/proc/%d/comm", (int)pid);
    int fd = open(link, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    length = read(fd, path, sizeof path);
    close(fd);
    if (length <= 0)
        return nullptr;
    if (path[length - 1] == '\n')
        length--;
    return makeimage(path, (size_t)length);
}

image *keepimage(image *img)
{
    if (img)
        img->refs++;
    return img;
}

void dropimage(image *img)
{
    if (img && --img->refs == 0)
        free(img);
}

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
    }
    setlasterror(ERROR_INVALID_HANDLE);
    return FALSE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD pid)
{
    proc *p = packetproc(pid);
    if (!p) {
        task *t = findtask((pid_t)pid);
        if (t && t->process && t->process->pid == pid && t->process->alive)
            p = t->process;
    }
    if (!p) {
        setlasterror(ERROR_INVALID_PARAMETER); // what Windows says for a pid with no process
        return nullptr;
    }
    holdproc(p);
    return p;
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exitcode)
{
    proc *p = asproc(handle);
    if (!p) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitcode = p->alive ? STILL_ACTIVE : p->exitcode;
    return TRUE;
}

DWORD GetProcessImageFileNameW(HANDLE handle, LPWSTR name, DWORD size)
{
    proc *p = asproc(handle);
    if (!p) {
        setlasterror(ERROR_INVALID_HANDLE);
        return 0;
    }
    image *img = p->shown ? p->shown : p->current;
    if (!img) {
        setlasterror(ERROR_GEN_FAILURE); // ended, and its name gone with it
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
