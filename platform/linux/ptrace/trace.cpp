// The ptrace event loop: tells the job the forks, execs and ends of the traced tree
// in the order that they imply, and lets every task go on as it would untraced.
// Per fork+exec+exit of a child: the creator's fork event, the child's first stop, its
// exec stop, the creator's SIGCHLD delivery stop, and the child's end.
#include "ptrace.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// A task that ended before any creator's event named it is given this long for its creator's
// event to come before it is settled as a process of its own: a child killed before its
// first stop can report its end before its creator's fork event names it.
#define SETTLEDELAY 20

// Every traced thread, by tid.
pidtable tasks;
// Tasks that came before their creator's event named them (TASKHELD, TASKDEAD).
static task **unclaimed;
// How many there are, and room for how many.
static size_t nunclaimed, unclaimedsize;
// One bit per pid: a process whose end has been reported, and whose zombie may still come
// to dorvane as the subreaper, to be reported a second time by the wait. Cleared when the
// pid starts a new task.
static unsigned char *ghosts;
static size_t ghostbytes;

static bool isstopsignal(int sig)
{
    return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// A group-stop (Ctrl-Z) under PTRACE_SEIZE: it must last until SIGCONT.
static bool isgroupstop(int status)
{
    return status >> 16 == PTRACE_EVENT_STOP && isstopsignal(WSTOPSIG(status));
}

// Two fields of /proc/TID/status, as numbers in the given base; 0 where absent, and where
// /proc is another pid namespace's, whose ids these are not.
static void statusfields(pid_t tid, const char *fields[2], int base, unsigned long long out[2])
{
    char path[40], text[4096];
    out[0] = out[1] = 0;
    if (!ownproc())
        return;
    snprintf(path, sizeof path, "/proc/%d/status", (int)tid);
    if (readsmall(path, text, sizeof text) <= 0)
        return;
    for (int i = 0; i < 2; i++) {
        const char *at = strstr(text, fields[i]);
        if (at)
            out[i] = strtoull(at + strlen(fields[i]), nullptr, base);
    }
}

task *findtask(pid_t tid)
{
    return (task *)pidfind(&tasks, tid);
}

task *addtask(pid_t tid, proc *p, pid_t tgid)
{
    task *t = (task *)calloc(1, sizeof(task));
    if (!t)
        return nullptr;
    t->entry.pid = tid;
    t->tgid = tgid;
    if (!pidinsert(&tasks, &t->entry)) {
        free(t);
        return nullptr;
    }
    t->process = p;
    if (p)
        holdproc(p);
    return t;
}

static void removetask(task *t)
{
    piderase(&tasks, &t->entry);
    if (t->process)
        releaseproc(t->process);
    free(t);
}

void restart(pid_t tid, int status)
{
    int event = status >> 16, sig = WSTOPSIG(status);
    if (isgroupstop(status)) {
        ptrace(PTRACE_LISTEN, tid, 0, 0); // PTRACE_CONT would cut the stop short
        return;
    }
    // Only a signal-delivery stop carries a signal to pass on; a tracee that has ended in
    // the meantime just makes this fail. A stop signal passed on after a SIGCONT came (fg
    // while dorvane was stopped too, by the same Ctrl-Z) does not stop the task: SIGCONT
    // clears the kernel's note that a stop signal was dequeued, so the stop is dropped, as
    // it would have been untraced.
    ptrace(PTRACE_CONT, tid, 0, event == 0 ? sig : 0);
}

static void markghost(pid_t pid)
{
    size_t at = (size_t)pid / 8;
    if (at >= ghostbytes) {
        size_t size = at + 1 > 2 * ghostbytes ? at + 1 : 2 * ghostbytes;
        unsigned char *grown = (unsigned char *)realloc(ghosts, size);
        if (!grown)
            return; // its second report then looks like a process that escaped tracing
        memset(grown + ghostbytes, 0, size - ghostbytes);
        ghosts = grown;
        ghostbytes = size;
    }
    ghosts[at] |= (unsigned char)(1u << (pid % 8));
}

// Whether pid was a ghost; it is not one any more.
static bool unghost(pid_t pid)
{
    size_t at = (size_t)pid / 8;
    unsigned char bit = (unsigned char)(1u << (pid % 8));
    if (at >= ghostbytes || !(ghosts[at] & bit))
        return false;
    ghosts[at] &= (unsigned char)~bit;
    return true;
}

static void hold(pid_t tid, int status)
{
    if (nunclaimed == unclaimedsize) {
        size_t size = unclaimedsize ? 2 * unclaimedsize : 16;
        task **grown = (task **)realloc(unclaimed, size * sizeof(task *));
        if (!grown)
            return restart(tid, status); // untracked, but not stuck
        unclaimed = grown;
        unclaimedsize = size;
    }
    task *t = addtask(tid, nullptr, 0);
    if (!t)
        return restart(tid, status);
    t->state = WIFSTOPPED(status) ? TASKHELD : TASKDEAD;
    t->status = status;
    t->since = nowms();
    if (WIFSTOPPED(status))
        unghost(tid);
    unclaimed[nunclaimed++] = t;
}

static void unhold(task *t)
{
    for (size_t i = 0; i < nunclaimed; i++)
        if (unclaimed[i] == t) {
            unclaimed[i] = unclaimed[--nunclaimed];
            return;
        }
}

// Out of memory for its records: the task goes on untracked rather than stay stopped.
static void letgo(task *t)
{
    pid_t tid = t->entry.pid;
    int status = t->status;
    bool held = t->state == TASKHELD;
    unhold(t);
    removetask(t);
    if (held)
        restart(tid, status);
}

static uint64_t nanoseconds(const struct timeval *t)
{
    return (uint64_t)t->tv_sec * 1000000000u + (uint64_t)t->tv_usec * 1000u;
}

// The leader's end is the process's: it is reported after every other thread's, with the
// group's exit status and, from the wait that reported it, the group's use of the machine
// (if the record asked for it, and the end came from a wait). A task claimed from /proc is
// kept until its creator's event comes, so that event does not bring it back as a new
// process; it comes before its creator can reap it, so the pid is not another's meanwhile.
static void onend(task *t, int status, const struct rusage *used)
{
    if (t->process && t->entry.pid == t->tgid) {
        markghost(t->tgid);
        if (used)
            procusage(t->process, nanoseconds(&used->ru_utime), nanoseconds(&used->ru_stime),
                      (uint64_t)used->ru_maxrss);
        procended(t->process, status);
    }
    if (t->state != TASKUNNAMED)
        return removetask(t);
    releaseproc(t->process);
    t->process = nullptr;
    t->state = TASKNAMELESS;
}

// A new task goes on from its first stop. A new process's time to exec before it is
// announced starts now: until now it waited for dorvane.
static void letrun(task *t, int status)
{
    if (t->process && t->entry.pid == t->tgid)
        procstarted(t->process, nowms());
    t->stopped = isgroupstop(status);
    restart(t->entry.pid, status);
}

// Gives an unclaimed or expected task its process, and lets a held one go on.
static void claim(pid_t tid, task *t, proc *owner, pid_t tgid)
{
    if (!t) {
        t = addtask(tid, owner, tgid);
        if (t)
            t->state = TASKNEW;
        return;
    }
    unhold(t);
    t->process = owner;
    t->tgid = tgid;
    holdproc(owner);
    taskstate was = t->state;
    t->state = TASKRUNNING;
    if (was == TASKHELD)
        letrun(t, t->status);
    else
        onend(t, t->status, nullptr);
}

// Fork, vfork (posix_spawn too) and clone events. Only a clone can make a thread; a thread
// of the creator's group is still there to be signalled with the group's id. One that has
// already ended cannot be asked, and is taken for a thread: processes come by fork, vfork,
// or a clone without CLONE_THREAD, whose child rarely dies before its first stop.
static void onclone(task *t, int event)
{
    unsigned long message = 0;
    if (ptrace(PTRACE_GETEVENTMSG, t->entry.pid, 0, &message) < 0)
        return;
    pid_t tid = (pid_t)message;
    task *c = findtask(tid);
    if (c && c->state == TASKNAMELESS)
        return removetask(c); // claimed from /proc, and ended since
    if (c && c->state == TASKUNNAMED)
        c->state = TASKRUNNING; // claimed from /proc
    if (c && c->state != TASKHELD && c->state != TASKDEAD)
        return;
    bool thread = event == PTRACE_EVENT_CLONE &&
                  ((c && c->state == TASKDEAD) || syscall(SYS_tgkill, t->tgid, tid, 0) == 0);
    if (thread)
        return claim(tid, c, t->process, t->tgid);
    unghost(tid);
    proc *child = procforked(t->process, (DWORD)tid, nullptr);
    if (!child) {
        if (c)
            letgo(c);
        return;
    }
    claim(tid, c, child, tid);
    releaseproc(child); // its task holds it now
}

// An exec from a non-leader thread moves that thread to the leader's tid: its former tid is
// gone, and reports no end of its own.
static void onexec(task *t)
{
    unsigned long former = 0;
    if (ptrace(PTRACE_GETEVENTMSG, t->entry.pid, 0, &former) == 0 &&
        (pid_t)former != t->entry.pid) {
        task *old = findtask((pid_t)former);
        if (old)
            removetask(old);
    }
    image *img = readimage(t->entry.pid);
    if (recordasked())
        readargs(img, t->entry.pid);
    procexeced(t->process, img);
}

// A task held at its first stop whose creator may never report it (it was killed in the
// fork): /proc tells its thread group and parent while it is stopped.
static void resolve(task *t)
{
    pid_t tid = t->entry.pid;
    const char *fields[2] = {"\nTgid:", "\nPPid:"};
    unsigned long long ids[2];
    statusfields(tid, fields, 10, ids);
    pid_t tgid = (pid_t)ids[0];
    task *group = tgid && tgid != tid ? findtask(tgid) : nullptr;
    if (group && group->process) {
        claim(tid, t, group->process, tgid);
    } else {
        task *parent = findtask((pid_t)ids[1]);
        image *img = readimage(tid);
        if (recordasked())
            readargs(img, tid);
        // Only a process of the job has the options that attach its children, so this one
        // is in the job, even if its parent has ended since.
        proc *child = procforked(parent ? parent->process : nullptr, (DWORD)tid, img);
        if (!child)
            return letgo(t);
        claim(tid, t, child, tid);
        releaseproc(child);
    }
    t->state = TASKUNNAMED;
}

static void onevent(pid_t tid, int status, const struct rusage *used)
{
    task *t = findtask(tid);
    // Its pid was reused before its creator told of it, or, claimed from /proc and ended,
    // this is its second end, which dorvane gets as the subreaper.
    if (t && (t->state == TASKDEAD || t->state == TASKNAMELESS)) {
        unhold(t);
        removetask(t);
        t = nullptr;
    }
    if (!t)
        return hold(tid, status);
    if (t->state == TASKHELD) { // killed while held
        if (!WIFSTOPPED(status)) {
            t->state = TASKDEAD;
            t->status = status;
        }
        return;
    }
    if (!WIFSTOPPED(status))
        return onend(t, status, used);
    int event = status >> 16;
    t->stopped = isgroupstop(status);
    if (t->state == TASKNEW) {
        t->state = TASKRUNNING; // its first stop
        return letrun(t, status);
    }
    if (event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK ||
        event == PTRACE_EVENT_CLONE)
        onclone(t, event);
    else if (event == PTRACE_EVENT_EXEC)
        onexec(t);
    restart(tid, status);
}

// A task that ended before any creator's event named it, once its creator has had time to
// tell (or at the end, when none is left to): as dorvane is the tree's subreaper, it is the
// second report of a process already reported, or a process that was never traced
// (CLONE_UNTRACED) and outlived its creator. That one is reported now, with its end; its
// program cannot be known any more. With all, every one is settled.
static void settledead(bool all)
{
    uint32_t now = nowms();
    for (size_t i = nunclaimed; i-- > 0;) {
        task *t = unclaimed[i];
        pid_t tid = t->entry.pid;
        if (t->state != TASKDEAD || (!all && now - t->since < SETTLEDELAY))
            continue;
        proc *p = unghost(tid) ? nullptr : procforked(nullptr, (DWORD)tid, nullptr);
        if (!p) {
            unhold(t);
            removetask(t);
            continue;
        }
        claim(tid, t, p, tid);
        releaseproc(p);
    }
}

// The ms until the oldest dead task is to be settled, if sooner than within timeoutms.
static int settledue(int timeoutms)
{
    uint32_t now = nowms();
    for (size_t i = 0; i < nunclaimed; i++) {
        uint32_t age = now - unclaimed[i]->since;
        int left = unclaimed[i]->state != TASKDEAD ? -1
                   : age >= SETTLEDELAY            ? 0
                                                   : (int)(SETTLEDELAY - age);
        if (left >= 0 && (timeoutms < 0 || left < timeoutms))
            timeoutms = left;
    }
    return timeoutms;
}

// A report of any task; with the use of the machine that the wait tells, if the record
// asked for it.
static pid_t waitany(int *status, int flags, struct rusage *used)
{
    return wait4(-1, status, __WALL | flags, recordasked() ? used : nullptr);
}

// One wait for the next report: blocking, or for at most timeoutms, woken by the SIGCHLD
// that every report raises (blocked, so none can slip by between the two calls). Every
// report that came since the last wait, which drained them all, raised one that is still
// pending: a report already there ends the timed wait at once. Returns the reporting task,
// 0 if none came in time, or -1 with errno.
static pid_t waitreport(int timeoutms, int *status, struct rusage *used)
{
    if (timeoutms < 0)
        return waitany(status, 0, used);
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    struct timespec wait = {timeoutms / 1000, (long)(timeoutms % 1000) * 1000000L};
    sigtimedwait(&chld, nullptr, &wait);
    return waitany(status, WNOHANG, used);
}

bool traceevents(int timeoutms)
{
    int status;
    struct rusage usage, *used = recordasked() ? &usage : nullptr;
    readingevents();
    // A signal for the job that came since it last looked is not waited past. One that comes
    // after this look, but before the wait has begun, cannot cut it short: the wait lasts
    // until the tree's next report (for Ctrl-Z, the programs of dorvane's group make one as
    // they take the same signal).
    pid_t tid = waitreport(jobsignalcame() ? 0 : settledue(timeoutms), &status, &usage);
    if (tid < 0 && errno != ECHILD)
        return true; // EINTR: wait again
    closeguard();
    if (tid < 0) {
        // Nothing traced is left, and no child: whatever is still unclaimed is settled now.
        settledead(true);
        while (nunclaimed)
            removetask(unclaimed[--nunclaimed]);
        openguard();
        return false;
    }
    if (tid > 0)
        onevent(tid, status, used);
    // Whatever else is ready is taken now, sparing a sleep and a wake-up per event.
    while ((tid = waitany(&status, WNOHANG, &usage)) > 0)
        onevent(tid, status, used);
    // Before sleeping: a task held at its first stop whose creator's event has not come
    // may have lost its creator; ask /proc rather than risk waiting forever.
    for (size_t i = nunclaimed; i-- > 0;)
        if (unclaimed[i]->state == TASKHELD)
            resolve(unclaimed[i]);
    settledead(false);
    openguard();
    return true;
}

// A process is stopped once its leader is: a group-stop stops all its threads.
void eachtraced(void (*each)(pid_t pid, int stopped))
{
    for (pidentry *e = pidnext(&tasks, nullptr); e; e = pidnext(&tasks, e)) {
        task *t = (task *)e;
        if (t->process && e->pid == t->tgid)
            each(e->pid, t->stopped);
    }
}
