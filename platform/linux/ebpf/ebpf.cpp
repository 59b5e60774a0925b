// The eBPF tracker's user half: loads the kernel half (tracker.bpf.c), starts the root
// stopped after its exec, and waits for what the kernel half tells of the tree, which
// tree.cpp takes in. Nothing of the tree is stopped or traced, so its programs run as they
// would without dorvane.
#include "ebpf.h"
#include "event.h"
#include "loader.h"

#include <errno.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef DORVANE_RING_BYTES
// Some 4,000 events of dorvane falling behind; past that they wait in `held`, at some cost
// in time (measured: a storm of 40,000 1.07x against a 1 MB ring), where a larger ring would
// cost every concurrent instance its size in kernel memory, used or not.
#define DORVANE_RING_BYTES (1u << 18)
#endif
#ifndef DORVANE_THREADED_LIMIT
#define DORVANE_THREADED_LIMIT 0 // the kernel half's own: as many as pids can name
#endif

// The loaded kernel half, the ring of its changes and the doorbell that wakes dorvane for
// what the ring does not tell.
kernelhalf kernel;
ringbuffer ring;
static ringbuffer doorbell;
// A signal that came while events were read: dorvane ends by it once their lines are out.
static int endsignal;

// dorvane keeps no capability once the root starts, but on kernels that refuse every eBPF
// call of an unprivileged process while unprivileged eBPF is disabled (before 6.5, some),
// it could not read its maps then without CAP_BPF: there the tracker does not run for an
// ordinary user, rather than keep that privilege for the whole run. Without its effective
// capabilities, a read of `held` is to be refused for no other reason than a missing key.
static bool mapsreadwithoutprivilege(void)
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (getuid() == 0)
        return true; // root keeps its capabilities
    if (syscall(SYS_capget, &header, data) < 0)
        return false;
    data[0].effective = data[1].effective = 0;
    if (syscall(SYS_capset, &header, data) < 0)
        return false;
    dorvaneheldkey key = {64, 0, 0};
    dorvaneevent e;
    return mapfind(kernel.held, &key, &e) || errno != EPERM;
}

// Why a step of the load failed, as the job tells it: a kernel that refuses the programs
// (too old for what they use, or without its types' BTF) does not support them.
static DWORD loaderror(loadstep step, int err)
{
    static const char *const calls[] = {"bpf (open)", "bpf (load)", "bpf (attach)",
                                        "mmap (the eBPF ring)", "bpf (map read)"};
    bool refused = step == LOADPROGRAMS && (err == EINVAL || err == ENOENT || err == E2BIG);
    saywhyloadfailed(step, err);
    noteerror(calls[step], err,
              step == LOADREAD ? "this kernel lets no process without privilege read the "
                                 "maps of the eBPF tracker"
              : err == EPERM || err == EACCES
                  ? "the eBPF tracker needs root, or the binary given cap_bpf,cap_perfmon"
              : refused || err == ENOTSUP
                  ? "the kernel cannot run the eBPF tracker, which needs Linux 5.17 or "
                    "later with BTF"
                  : nullptr);
    return refused ? ERROR_NOT_SUPPORTED : winerror(err);
}

// The count of CPUs the kernel may number, possible ones too: "0-3" or "0,2-5" tells the
// highest.
static uint32_t possiblecpus(void)
{
    char text[256] = "";
    FILE *f = fopen("/sys/devices/system/cpu/possible", "re");
    size_t n = f ? fread(text, 1, sizeof text - 1, f) : 0;
    if (f)
        fclose(f);
    text[n] = 0;
    const char *last = text;
    for (const char *c = text; *c; c++)
        if (*c == '-' || *c == ',')
            last = c + 1;
    long highest = strtol(last, nullptr, 10);
    return n && highest >= 0 ? (uint32_t)highest + 1 : (uint32_t)sysconf(_SC_NPROCESSORS_CONF);
}

static bool load(void)
{
    struct stat ns;
    if (access("/sys/kernel/btf/vmlinux", R_OK) < 0) {
        setlasterror(loaderror(LOADOPEN, ENOTSUP)); // no types to read the kernel by
        return false;
    }
    if (stat("/proc/self/ns/pid", &ns) < 0) {
        setlasterror(loaderror(LOADOPEN, errno));
        return false;
    }
    kernelsettings settings = {};
    settings.selfpid = (uint32_t)getpid();
    // The kernel's own encoding of a device number, which its namespace helper compares.
    settings.selfnsdev = (uint64_t)major(ns.st_dev) << 20 | minor(ns.st_dev);
    settings.selfnsino = ns.st_ino;
#ifdef DORVANE_NO_FOLLOW
    settings.follow = 0; // the negative control's build: the root's children escape
#else
    settings.follow = 1;
#endif
    // An exec's arguments, which the record asks for, go with it through the ring, and are
    // lost if it has to wait in `held`: the ring is larger then, by more than they take in
    // a build's common case.
    settings.ringbytes = DORVANE_RING_BYTES << (recordasked() ? 2 : 0);
    settings.threadedlimit = DORVANE_THREADED_LIMIT;
    settings.withrecord = recordasked();
    settings.cpus = possiblecpus();
    loadstep step;
    int err = loadkernel(&settings, &kernel, &step);
    if (!err && (!mapring(&ring, kernel.ring) || !mapring(&doorbell, kernel.doorbell))) {
        step = LOADRING;
        err = errno;
    }
    if (!err && !mapsreadwithoutprivilege()) {
        step = LOADREAD;
        err = EPERM;
    }
    if (err) {
        unmapring(&ring);
        unmapring(&doorbell);
        unloadkernel();
        setlasterror(loaderror(step, err));
        return false;
    }
    return true;
}

// The kernel half has seen the fork and will stop the root after its exec; the watch
// continues it if dorvane ends before it lets it run.
static bool seize(pid_t pid)
{
    if (*kernel.rootfound)
        return startwatch(pid);
    noteerror("the eBPF tracker", ESRCH, "it did not see the program's fork");
    errno = ESRCH;
    return false;
}

// Nothing of the tree is held, so a signal that ends dorvane has nothing to let go.
static void afterfork(void)
{
    guardsignals(nullptr);
}

// The stop after the exec is the kernel half's SIGSTOP; an exit before it means the exec
// failed. A stop before the exec (Ctrl-Z while the child searched PATH) is not it: the child
// goes on at the SIGCONT that ends that stop, and stops after its exec then. A root held may
// be let go from outside before dorvane sees its stop (fg after a Ctrl-Z continues the
// whole group): it has exec'd all the same, and the job follows it as it runs, and reports
// its end if it has ended by then (reaped then, as every end of the root is, by ended).
static int awaitexec(pid_t pid, int errfd)
{
    for (;;) {
        siginfo_t info = {};
        if (waitid(P_PID, (id_t)pid, &info, WEXITED | WSTOPPED | WCONTINUED | WNOWAIT) < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            endwatch();
            return err;
        }
        bool held = *kernel.rootheld;
        if (info.si_code == CLD_STOPPED || info.si_code == CLD_CONTINUED) {
            waitid(P_PID, (id_t)pid, &info, WSTOPPED | WCONTINUED | WNOHANG); // seen
            if (held)
                return 0;
            continue;
        }
        if (held)
            return 0;
        endwatch();
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        int err;
        if (read(errfd, &err, sizeof err) != sizeof err)
            err = EINTR; // killed by a signal before it could exec
        return err;
    }
}

// The root's fork and exec are in the ring already: its record takes the program from there.
static bool adopt(proc *root, pid_t pid)
{
    adoptroot(root, pid);
    return true;
}

static bool follow(pid_t)
{
    return true; // the kernel half follows the root's children from its fork on
}

// The watch ends after the continue: were dorvane killed between the two, it would send a
// second one, where without it the root would stay stopped.
static bool resume(pid_t root)
{
    bool resumed = letrootgo() || kill(root, SIGCONT) == 0;
    int err = errno;
    endwatch();
    if (resumed)
        return true;
    setlasterror(noteerror("kill", err, nullptr));
    return false;
}

// Events come in bursts (a build starts many processes at once). dorvane reads and writes
// as soon as it wakes, so that a lone process's lines come at once. Under a storm, where each
// event would cost the programs a cross-CPU wake-up and dorvane a context switch, it pauses
// after each wake-up to let the rest of the burst gather: from STORMWAKES wake-ups within
// GATHERMS until the tree has made no change for that long, by the changes' own times, so
// that a pause taken meanwhile does not hide a quiet gap. (A lone short process makes three
// wake-ups: its fork, exec and exit.) The kernel wakes dorvane for an event only when it has
// read all before it, so a pause takes a burst in one read. It ends early at the doorbell
// (the tree is gone, so the report's end is not delayed), but not for an announcement that
// falls due meanwhile: in a storm one always does, and cutting each pause short for it
// would leave the bursts small. Such an announcement comes at most a pause late.
#define GATHERMS 25
#define STORMWAKES 4

static bool storming;
// The times of the last wake-ups but one, by their count.
static uint32_t lastwakes[STORMWAKES - 1];
static unsigned wakes;

// Whether this wake-up makes a storm, or keeps one going.
static bool stormy(uint32_t woke)
{
    const dorvaneevent *next = (const dorvaneevent *)peekring(&ring);
    if (next && next->at - lasteventat >= GATHERMS * 1000000ull)
        storming = false;
    uint32_t *oldest = &lastwakes[wakes++ % (STORMWAKES - 1)];
    if (wakes >= STORMWAKES && woke - *oldest < GATHERMS)
        storming = true;
    *oldest = woke;
    return storming;
}

// The descriptors waited on: the doorbell, the ring, then each stranded process watched.
static pollfd *ready;
static size_t readysize;

// Waits for the doorbell, the ring or the end of a stranded process. The waits take the
// signal mask open: a signal that is to end dorvane interrupts them.
static bool readevents(int timeoutms, const sigset_t *open)
{
    size_t count = 2 + watchcount();
    if (count > readysize) {
        pollfd *grown = (pollfd *)realloc(ready, count * sizeof *ready);
        if (grown) {
            ready = grown;
            readysize = count;
        } else if (readysize < 2) {
            return true; // tried again at the next wait
        }
        count = readysize < count ? readysize : count; // the rest at a later wait
    }
    ready[0] = {doorbell.fd, POLLIN, 0};
    ready[1] = {ring.fd, POLLIN, 0};
    watchfds(ready + 2, count - 2);
    timespec limit = {timeoutms / 1000, timeoutms % 1000 * 1000000L};
    uint32_t waited = nowms();
    int n = ppoll(ready, count, timeoutms < 0 ? nullptr : &limit, open);
    uint32_t woke = nowms();
    if (n == 0 && woke - waited >= GATHERMS)
        storming = false;
    if (n > 0 && stormy(woke) && !ready[0].revents && *kernel.alive > 0) {
        timespec pause = {0, GATHERMS * 1000000L};
        ppoll(ready, 1, &pause, open);
    }
    // Emptied first: a ring for what comes after this read wakes the next wait.
    consumering(&doorbell, nullptr);
    readingevents();
    readtree();
    if (n > 0)
        watchedready(ready + 2, count - 2);
    // As the first process of a pid namespace, dorvane is the parent of its orphans.
    if (getpid() == 1)
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    return !treegone();
}

// A signal that ends dorvane and comes while it waits is handled once what the kernel has
// told is read: those lines are written before it ends.
static bool events(int timeoutms)
{
    if (endsignal)
        endbysignal(endsignal);
    sigset_t open;
    deferguard(&open);
    bool more = readevents(jobsignalcame() ? 0 : timeoutms, &open);
    endsignal = undeferguard();
    return more || endsignal;
}

const tracker ebpftracker = {load,   seize,  afterfork, awaitexec,      adopt,
                             follow, resume, events,    eachtreeprocess};
