// What dorvane was given and hands on to the root as it was: its arguments. The descriptors
// it was given are those that are not close-on-exec; the others are its own.
#include "linux.h"

#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

// The root's arguments, argv[1] on, as main was given them.
static char **args;

void keepgiven(char **programargv)
{
    args = programargv;
}

char **givenargs(void)
{
    return args;
}

static bool kept(int fd, const int *keep, int count)
{
    for (int i = 0; i < count; i++)
        if (keep[i] == fd)
            return true;
    return false;
}

// The descriptors are listed by /proc with the raw getdents64, which takes no memory: the
// caller is a child of the threaded dorvane. /proc lists them by number, so closing those
// already listed does not disturb the listing.
void closeownfds(const int *keep, int count)
{
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    alignas(8) char buffer[4096];
    long n;
    while ((n = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
        // Each entry: inode (8 bytes), offset (8), its length (2), type (1), then the name.
        for (long at = 0; at < n;) {
            unsigned short length;
            memcpy(&length, buffer + at + 16, sizeof length);
            const char *name = buffer + at + 19, *end = name;
            at += length;
            int fd = 0;
            for (; *end >= '0' && *end <= '9'; end++)
                fd = fd * 10 + (*end - '0');
            if (end == name || *end) // "." and ".."
                continue;
            int flags = fcntl(fd, F_GETFD);
            if (fd != dir && flags >= 0 && (flags & FD_CLOEXEC) && !kept(fd, keep, count))
                close(fd);
        }
    }
    close(dir);
}
