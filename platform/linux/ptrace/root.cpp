// The ptrace tracker's start: the root seized before its exec and stopped at the exec, its
// children followed once it joins the job, and what dorvane sets up for the wait.
#include "ptrace.h"

#include <errno.h>
#include <linux/sched.h>
#include <linux/sched/types.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static bool load(void)
{
    return true; // nothing to load: the kernel's ptrace is always there to try
}

// Only the exec stop at first: the options for following children come with the job. A
// refusal most often means that a tracer holds dorvane, and holds its children from their
// fork (dorvane inside dorvane, strace -f), or that ptrace is restricted (Yama's
// ptrace_scope, a container's seccomp profile).
static bool seize(pid_t pid)
{
    if (ptrace(PTRACE_SEIZE, pid, 0, PTRACE_O_TRACEEXEC) == 0)
        return true;
    noteerror("ptrace", errno,
              errno == EPERM ? "dorvane is itself traced, or ptrace is restricted" : nullptr);
    return false;
}

// Waits for the child's exec. A signal that reaches it first is passed on, as it would be
// untraced. Returns 0 once it stands stopped at the exec, or the errno that failed it.
static int awaitexec(pid_t pid, int errfd)
{
    for (;;) {
        int status;
        if (waitpid(pid, &status, __WALL) < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (WIFSTOPPED(status) && status >> 16 == PTRACE_EVENT_EXEC)
            return 0;
        if (WIFSTOPPED(status)) {
            restart(pid, status);
            continue;
        }
        int err;
        if (read(errfd, &err, sizeof err) != sizeof err)
            err = EINTR; // killed by a signal before it could exec
        return err;
    }
}

// The root's task: it has been seen, stopped at its exec, which names it as any exec does.
static bool adopt(proc *root, pid_t pid)
{
    task *t = addtask(pid, root, pid);
    if (!t)
        return false;
    t->state = TASKRUNNING;
    image *img = readimage(pid);
    if (recordasked())
        readargs(img, pid);
    procexeced(root, img);
    return true;
}

static bool follow(pid_t root)
{
#ifdef DORVANE_NO_FOLLOW
    // A test-only build for the negative control of the tree tests: nothing the root
    // starts is traced, so its descendants escape the job.
    long options = PTRACE_O_TRACEEXEC;
#else
    // TRACECLONE too, not only for threads: a child of an untraced thread would escape,
    // and clone3 with no exit signal reports as a clone.
    long options =
        PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC;
#endif
    if (ptrace(PTRACE_SETOPTIONS, root, 0, options) == 0)
        return true;
    setlasterror(noteerror("ptrace", errno, nullptr));
    return false;
}

// Every stop of a tracee waits for us to wake and let it go on. When all CPUs are busy (a
// parallel build), the fair scheduler lets a woken task preempt only if its time slice is
// shorter than the running one's; ours is asked down to the least the kernel takes, so a
// stopped tracee is not left waiting for another program's slice to run out. Only the slice
// changes (policy and nice stay as the caller set them); kernels without custom slices
// ignore it. Called after the root has been forked, so that no program inherits it.
static void preferwakeups(void)
{
    struct sched_attr attr = {};
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) < 0 ||
        (attr.sched_policy != SCHED_NORMAL && attr.sched_policy != SCHED_BATCH))
        return;
    attr.size = sizeof attr;
    attr.sched_flags = 0;
    attr.sched_runtime = 100 * 1000; // ns: 0.1 ms
    syscall(SYS_sched_setattr, 0, &attr, 0);
}

// A child that the kernel does not attach (CLONE_UNTRACED) and that outlives its creator
// would leave the tree unseen and let the run end early; as the subreaper, dorvane becomes
// its parent, so the wait goes on until it has ended and reports it.
static void adoptorphans(void)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

static void afterfork(void)
{
    preferwakeups();
    adoptorphans();
    guardtree();
}

static bool resume(pid_t root)
{
    if (ptrace(PTRACE_CONT, root, 0, 0) == 0)
        return true;
    setlasterror(noteerror("ptrace", errno, nullptr));
    return false;
}

const tracker ptracetracker = {load,   seize,  afterfork,   awaitexec, adopt,
                               follow, resume, traceevents, eachtraced};
