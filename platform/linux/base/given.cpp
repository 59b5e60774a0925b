// What dorvane was given and hands on to the root as it was: its arguments, and the signal
// dispositions and mask it was started with, which it changes for its own work; and
// whether its options ask for the run's record. The
// descriptors it was given are those that are not close-on-exec; the others are its own.
//
// Signals go through the system calls rather than glibc, which refuses signals 32 and 33
// (its own) and leaves them out of a mask it sets: a program may have been given either.
#include "linux.h"

#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

// The kernel's struct sigaction, whose layout glibc's does not share. Only the handler is
// read or set; the flags and the mask stay zero.
struct kernelsigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)(void);
    uint64_t mask;
};

// The kernel's signal set: bit n-1 for signal n.
#define SIGNALS 64

// The root's arguments, argv[1] on, as main was given them.
static char **args;
// The signals dorvane was started with ignored, and those it had blocked.
static uint64_t ignored, blocked;
// The record was asked for.
static bool recording;

void keepgiven(char **programargv)
{
    args = programargv;
    for (int sig = 1; sig <= SIGNALS; sig++) {
        kernelsigaction found = {};
        if (syscall(SYS_rt_sigaction, sig, nullptr, &found, sizeof(uint64_t)) == 0 &&
            found.handler == SIG_IGN)
            ignored |= (uint64_t)1 << (sig - 1);
    }
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, nullptr, &blocked, sizeof blocked);
}

char **givenargs(void)
{
    return args;
}

void askrecord(void)
{
    recording = true;
}

bool recordasked(void)
{
    return recording;
}

bool givenignored(int sig)
{
    return sig >= 1 && sig <= SIGNALS && (ignored >> (sig - 1) & 1);
}

// A handler does not survive an exec, so what dorvane was given is, for each signal, either
// ignored or the default. (Under the sanitizers, the signals they take before main, such as
// SIGSEGV, read as the default whatever they were.)
void restoregivensignals(void)
{
    for (int sig = 1; sig <= SIGNALS; sig++) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        kernelsigaction action = {};
        action.handler = (ignored >> (sig - 1) & 1) ? SIG_IGN : SIG_DFL;
        syscall(SYS_rt_sigaction, sig, &action, nullptr, sizeof(uint64_t));
    }
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &blocked, nullptr, sizeof blocked);
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
