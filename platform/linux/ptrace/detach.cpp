// Letting the traced tree go when a signal ends dorvane (base/signals.cpp). A group-wide signal
// (a CI runner's kill of the process group, systemd, a terminal hangup) reaches dorvane and
// its programs at once; each traced program stops at the signal's delivery and waits for
// dorvane to pass it on. Were dorvane to die at once, the kernel would detach them and
// drop the signal they are stopped for, leaving them running. So dorvane first lets every
// task go with the signal it is stopped for, then ends by the same signal, as it would
// have without handling it.
#include "ptrace.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// Lets one stopped task go: with the signal it is stopped for, if it is at a signal's
// delivery. An event stop (si_code holds the event above its low byte) carries none; a
// task in a group-stop stays stopped after the detach, as it would have untraced.
static void release(pid_t tid, const siginfo_t *info)
{
    bool event = info->si_code > 0 && (info->si_code >> 8) != 0;
    ptrace(PTRACE_DETACH, tid, 0, event ? 0 : info->si_signo);
}

// Lets go a task that reported a stop to the wait, with the signal of a delivery stop.
static void releasereported(pid_t tid, int status)
{
    int event = status >> 16;
    ptrace(PTRACE_DETACH, tid, 0, event == 0 ? WSTOPSIG(status) : 0);
}

// Every task of the table is let go: one already stopped (held, suspended, or stopped at a
// report that the main loop had taken but not yet answered) at once; a running one is
// interrupted first and let go at the stop it then reports. Children that appear meanwhile
// stop at their start and are let go too. Called only while the table is not changing;
// uses no memory from the heap, since it may run in a signal handler.
static void releaseall(void)
{
    long waiting = 0;
    for (pidentry *e = pidnext(&tasks, nullptr); e; e = pidnext(&tasks, e)) {
        task *t = (task *)e;
        if (t->state == TASKDEAD || t->state == TASKNAMELESS)
            continue;
        siginfo_t info;
        memset(&info, 0, sizeof info);
        if (ptrace(PTRACE_GETSIGINFO, e->pid, 0, &info) == 0) {
            release(e->pid, &info);
            t->state = TASKDEAD; // let go: no report of it is expected
        } else if (ptrace(PTRACE_INTERRUPT, e->pid, 0, 0) == 0) {
            waiting++;
        }
    }
    // A task interrupted reports within a moment; one that cannot (a zombie leader waiting
    // for its threads) holds no signal to lose, so the wait is bounded.
    struct timespec tick = {0, 1000000L};
    for (int ticks = 0; waiting > 0 && ticks < 2000;) {
        int status;
        pid_t tid = waitpid(-1, &status, __WALL | WNOHANG);
        if (tid <= 0) {
            if (tid < 0 && errno == ECHILD)
                break;
            nanosleep(&tick, nullptr);
            ticks++;
            continue;
        }
        task *t = findtask(tid);
        if (t && t->state != TASKDEAD && t->state != TASKNAMELESS) {
            t->state = TASKDEAD;
            waiting--;
        }
        if (WIFSTOPPED(status))
            releasereported(tid, status);
    }
}

void guardtree(void)
{
    guardsignals(releaseall);
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, nullptr);
}
