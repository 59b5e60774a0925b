// Files that dorvane writes itself (the record, the report's file): a handle is a small
// record that holds the descriptor. Each is close-on-exec, so no program of the tree gets it.
#include "linux.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

struct file {
    handlekind kind; // KINDFILE
    int fd;
};

// Only what the core asks: a file to write, created or truncated.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE templatefile)
{
    if (access != GENERIC_WRITE || disposition != CREATE_ALWAYS || templatefile) {
        setlasterror(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    char *path = widetobytes(name);
    file *f = (file *)malloc(sizeof(file));
    if (!path || !f) {
        free(path);
        free(f);
        setlasterror(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    f->kind = KINDFILE;
    f->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    int err = errno;
    free(path);
    if (f->fd < 0) {
        free(f);
        setlasterror(winerror(err));
        return INVALID_HANDLE_VALUE;
    }
    return f;
}

int filedescriptor(HANDLE handle)
{
    file *f = (file *)handle;
    return f && handle != INVALID_HANDLE_VALUE && f->kind == KINDFILE ? f->fd : -1;
}

void closefile(HANDLE handle)
{
    file *f = (file *)handle;
    close(f->fd);
    f->kind = (handlekind)0;
    free(f);
}

// All of it, across signals and partial writes, or the failure that stopped it.
BOOL WriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED)
{
    int fd = filedescriptor(handle);
    *written = 0;
    if (fd < 0) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    while (*written < count) {
        ssize_t done = write(fd, (const char *)bytes + *written, count - *written);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            setlasterror(done < 0 ? winerror(errno) : ERROR_GEN_FAILURE);
            return FALSE;
        }
        *written += (DWORD)done;
    }
    return TRUE;
}
