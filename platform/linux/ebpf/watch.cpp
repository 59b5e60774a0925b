// The watch over the root while the eBPF tracker holds it. The kernel half stops the root
// with SIGSTOP after its exec, until the job lets it run; were dorvane killed meanwhile,
// nothing would ever continue it. The kernel continues a child whose parent dies only if
// the child asked for that signal (PR_SET_PDEATHSIG), and a program that asked would keep
// asking, where it would ask for nothing without dorvane. So, from the root's fork until it
// runs, a small process of dorvane's own watches: if dorvane ends first, it continues the
// root and ends.
#include "ebpf.h"

#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// The watch, while it runs, and the write end of its pipe: a byte there ends it.
static pid_t watcher;
static int watchfd = -1;

static int pidfdopen(pid_t pid)
{
    return (int)syscall(SYS_pidfd_open, pid, 0);
}

// Closes every descriptor but the three in keep.
static void closeallbut(int keep[3])
{
    std::sort(keep, keep + 3);
    unsigned from = 0;
    for (int i = 0; i < 3; i++) {
        if ((unsigned)keep[i] > from)
            syscall(SYS_close_range, from, (unsigned)keep[i] - 1, 0);
        from = (unsigned)keep[i] + 1;
    }
    syscall(SYS_close_range, from, ~0u, 0);
}

// The watch holds the three descriptors it uses and nothing else: none of dorvane's eBPF
// objects, nor an output whose reader waits for it to close. Only system calls: it is a
// child of the threaded dorvane. Every signal stays blocked in it, as at the fork, so
// nothing but SIGKILL ends it before its work is done.
[[noreturn]] static void watch(int dorvane, int root, int done)
{
    int keep[] = {dorvane, root, done};
    closeallbut(keep);
    char byte;
    ssize_t n;
    while ((n = read(done, &byte, 1)) < 0 && errno == EINTR) {
    }
    if (n == 1)
        _exit(0); // the root runs, or will never run
    // dorvane is going: its descriptors close before the kernel gives its children to
    // another parent. The continue waits until dorvane has gone altogether: a root that
    // execs after that finds another parent and takes its own stop back (tracker.bpf.c),
    // and one that stopped before it is continued here.
    struct pollfd gone = {dorvane, POLLIN, 0};
    while (poll(&gone, 1, -1) < 0 && errno == EINTR) {
    }
    syscall(SYS_pidfd_send_signal, root, SIGCONT, nullptr, 0);
    _exit(0);
}

bool startwatch(pid_t root)
{
    int self = pidfdopen(getpid()), rootfd = pidfdopen(root), done[2] = {-1, -1};
    pid_t pid = -1;
    if (self >= 0 && rootfd >= 0 && pipe2(done, O_CLOEXEC) == 0) {
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pid = fork();
        if (pid == 0)
            watch(self, rootfd, done[0]);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    int err = errno;
    int ends[] = {self, rootfd, done[0]};
    for (int fd : ends)
        if (fd >= 0)
            close(fd);
    if (pid < 0) {
        noteerror(self < 0 || rootfd < 0 ? "pidfd_open"
                  : done[1] < 0          ? "pipe2"
                                         : "fork",
                  err, nullptr);
        if (done[1] >= 0)
            close(done[1]);
        errno = err;
        return false;
    }
    watcher = pid;
    watchfd = done[1];
    return true;
}

void endwatch(void)
{
    if (watcher <= 0)
        return;
    while (write(watchfd, "", 1) < 0 && errno == EINTR) {
    }
    close(watchfd);
    while (waitpid(watcher, nullptr, 0) < 0 && errno == EINTR) {
    }
    watcher = 0;
    watchfd = -1;
}
