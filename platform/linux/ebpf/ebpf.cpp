// The eBPF tracker's user half: loads the kernel half (tracker.bpf.c), starts the root
// stopped after its exec, and tells the job what the ring buffer's events say.
// Nothing of the tree is stopped or traced, so its programs run as they would without
// dorvane. The ring tells what changed; what it had no room for, the kernel half keeps in
// `held` until dorvane reads it (reconcile).
#include "../base/pidtable.h"
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

// A process of the tree, as the kernel half names it.
struct treeproc {
    pidentry entry; // by pid
    proc *process;  // held
    uint64_t id;    // the kernel half's, unique where pids are reused
    uint32_t seq;   // the version of its record in `held` taken last
};

// The processes of the tree whose end has not been handled yet.
static pidtable tree;
// The loaded kernel half, the ring of its events and the doorbell that wakes dorvane for
// what the ring does not tell.
static kernelhalf kernel;
static ringbuffer ring, doorbell;
// The root's record, until its fork event names its id; and its pid.
static proc *unplacedroot;
static pid_t rootpid;
// The root from its adoption until it is let go. Let go from outside meanwhile (a SIGCONT
// to its group), it may end: that end waits until then, to be reported after its start.
static proc *heldroot;
static treeproc *heldend;
static int heldendstatus;
// The kernel's count of writes to `held` when it was last read.
static uint64_t lostseen;
// Processes whose end came without its status.
static uint64_t unknownends;
// A signal that came while events were read: dorvane ends by it once their lines are out.
static int endsignal;

static void ringevent(const void *data, uint32_t size);
static void ended(treeproc *t, int status);

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
    saywhyloadfailed(step, err);
    if (step == LOADPROGRAMS && (err == EINVAL || err == ENOENT || err == E2BIG))
        return ERROR_NOT_SUPPORTED;
    return winerror(err);
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
    settings.ringbytes = DORVANE_RING_BYTES;
    loadstep step;
    int err = loadkernel(&settings, &kernel, &step);
    if (!err && (!mapring(&ring, kernel.ring) || !mapring(&doorbell, kernel.doorbell))) {
        step = LOADRING;
        err = errno;
    }
    if (!err && !mapsreadwithoutprivilege()) {
        step = LOADPROGRAMS;
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
    unplacedroot = root;
    heldroot = root;
    rootpid = pid;
    holdproc(root);
    consumering(&ring, ringevent);
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
    heldroot = nullptr;
    bool resumed = heldend || kill(root, SIGCONT) == 0;
    int err = errno;
    if (heldend)
        ended(heldend, heldendstatus);
    heldend = nullptr;
    endwatch();
    if (resumed)
        return true;
    setlasterror(winerror(err));
    return false;
}

// Room in a growing array for one element more, doubling it when full; false without memory.
static bool roomforone(void **array, size_t count, size_t *size, size_t each)
{
    if (count < *size)
        return true;
    size_t grown = *size ? 2 * *size : 64;
    void *more = realloc(*array, grown * each);
    if (!more)
        return false;
    *array = more;
    *size = grown;
    return true;
}

// The process with this id. They are filed by pid, and a pid names one live process at a
// time, but an older one can stay under it until its end is read from `held`, or found
// lost.
static treeproc *findid(uint32_t pid, uint64_t id)
{
    pidentry *e = pidfind(&tree, (pid_t)pid);
    while (e && ((treeproc *)e)->id != id)
        e = pidfindnext(e);
    return (treeproc *)e;
}

// A program path from the kernel half's components, leaf first, each NUL-terminated. A walk
// cut short lacks the components nearest the root: what it has would name another file,
// so it tells only that the path is too long to be told.
static image *imageof(const dorvaneevent *head, const char *components)
{
    size_t length = head->imagelength;
    char path[DORVANEIMAGESIZE + 2];
    if (head->truncated)
        return toolongimage();
    if (length > DORVANEIMAGESIZE)
        return nullptr;
    size_t at = 0;
    for (size_t end = length; end > 0;) {
        size_t start = end - 1; // at the NUL of the component before
        while (start > 0 && components[start - 1])
            start--;
        path[at++] = '/';
        memcpy(path + at, components + start, end - 1 - start);
        at += end - 1 - start;
        end = start;
    }
    if (!at)
        path[at++] = '/';
    return makeimage(path, at);
}

static dorvaneheldkey heldkey(uint64_t id)
{
    return {64, (uint32_t)id, (uint32_t)(id >> 32)};
}

// The process with this id as `held` keeps it; false if it is not there.
static bool readheld(uint64_t id, dorvaneevent *e)
{
    dorvaneheldkey key = heldkey(id);
    return mapfind(kernel.held, &key, e);
}

// The program that a held process exec'd, if `held` kept it.
static image *heldimage(const dorvaneevent *e)
{
    dorvaneheldkey key = heldkey(e->id);
    dorvaneimage kept;
    if (!e->heldimage || !mapfind(kernel.heldimages, &key, &kept))
        return nullptr;
    return imageof(e, kept.bytes);
}

// An ended process's record is final: the kernel half writes it no more.
static void forgetheld(uint64_t id)
{
    dorvaneheldkey key = heldkey(id);
    maperase(kernel.held, &key);
    maperase(kernel.heldimages, &key);
}

static treeproc *takeheld(const dorvaneevent *e, int depth);

// The process that e names as its creator, as it was at e's fork: known, or kept in
// `held`, where its fork or its exec went when the ring had no room (its events in the
// ring come before e's, so they have been read). Null for one not in the tree: not
// followed, or lost.
static proc *creatorof(const dorvaneevent *e, int depth)
{
    treeproc *parent = findid(e->parentpid, e->parentid);
    dorvaneevent kept;
    // A chain of creators, each kept and unknown, is taken one link per call: deeper than
    // this, the child is taken as the job's own rather than risk the stack.
    if (e->parentid && depth < 64 && (!parent || *kernel.lost != lostseen) &&
        readheld(e->parentid, &kept)) {
        treeproc *taken = takeheld(&kept, depth + 1);
        parent = taken ? taken : parent;
    }
    return parent ? parent->process : nullptr;
}

// A process the events or `held` tell of for the first time, running img, or its
// creator's program when img is null.
static treeproc *newprocess(const dorvaneevent *e, image *img, int depth)
{
    treeproc *t = (treeproc *)calloc(1, sizeof(treeproc));
    if (!t) {
        dropimage(img);
        return nullptr;
    }
    proc *p;
    if (!e->parentid && unplacedroot) {
        p = unplacedroot;
        unplacedroot = nullptr;
        if (img)
            procexeced(p, img);
    } else if ((p = procforked(creatorof(e, depth), e->pid, img))) {
        procstarted(p, (uint32_t)(e->created / 1000000)); // the same clock, in ns
    }
    t->entry.pid = (pid_t)e->pid;
    if (!p || !pidinsert(&tree, &t->entry)) {
        if (p)
            releaseproc(p);
        free(t);
        return nullptr;
    }
    t->process = p;
    t->id = e->id;
    return t;
}

static void ended(treeproc *t, int status)
{
    if (t->process == heldroot) {
        heldend = t;
        heldendstatus = status;
        return;
    }
    if (status == UNKNOWNSTATUS)
        unknownends++;
    procended(t->process, status);
    // The root is dorvane's child: reaped now, a moment after the kernel half saw it go.
    if (t->entry.pid == rootpid)
        while (waitpid(rootpid, nullptr, 0) < 0 && errno == EINTR) {
        }
    piderase(&tree, &t->entry);
    releaseproc(t->process);
    free(t);
}

// The pid has gone to the process with this id: an older one under it has ended before,
// with its end kept in `held` (the ring, read in order, would have told it by now), or
// lost outright and ended without its status rather than never.
static void endstale(uint32_t pid, uint64_t id)
{
    pidentry *e = pidfind(&tree, (pid_t)pid);
    while (e) {
        treeproc *t = (treeproc *)e;
        e = pidfindnext(e);
        if (t->id == id)
            continue;
        dorvaneevent kept;
        if (readheld(t->id, &kept) && kept.state == DORVANEENDED) {
            forgetheld(t->id);
            ended(t, (int)kept.status);
        } else {
            ended(t, UNKNOWNSTATUS);
        }
        e = pidfind(&tree, (pid_t)pid); // the walk starts over: t is gone
    }
}

// Takes in a process as `held` keeps it; once it has ended there, its record goes. A
// creator taken in for its child (depth above 0) ends at the reconcile that is due.
static treeproc *takeheld(const dorvaneevent *e, int depth)
{
    treeproc *t = findid(e->pid, e->id);
    if (!t) {
        endstale(e->pid, e->id);
        if (!(t = newprocess(e, heldimage(e), depth)))
            return nullptr;
    } else if (t->seq == e->seq) {
        return t;
    } else if (e->heldimage) {
        procexeced(t->process, heldimage(e));
    }
    if (e->state != DORVANEENDED)
        t->seq = e->seq;
    else if (depth == 0) {
        forgetheld(e->id);
        ended(t, (int)e->status);
        return nullptr;
    }
    return t;
}

// One event of the ring. A process's events in the ring all come before what `held` keeps
// of it, so none of them can find it ended there.
static void ringevent(const void *data, uint32_t size)
{
    const dorvanerecord *r = (const dorvanerecord *)data;
    if (size < sizeof r->head)
        return;
    treeproc *t = findid(r->head.pid, r->head.id);
    if (!t) {
        endstale(r->head.pid, r->head.id);
        if (!(t = newprocess(&r->head, nullptr, 0)))
            return;
    }
    if (r->head.kind == DORVANEEXEC && size >= sizeof r->head + r->head.imagelength)
        procexeced(t->process, imageof(&r->head, r->image));
    else if (r->head.kind == DORVANEEXIT)
        ended(t, (int)r->head.status);
}

static int bycreation(const void *a, const void *b)
{
    uint64_t x = ((const dorvaneevent *)a)->created;
    uint64_t y = ((const dorvaneevent *)b)->created;
    return x < y ? -1 : x > y;
}

// What the ring had no room for, from `held`, in the order of creation so that a creator
// comes before its children. Read once to know what is there, then again, each record
// after the ring has been read past the moment it was seen: the ring may still carry the
// events of a kept process from before it was kept.
static void reconcile(void)
{
    // Taken as seen only at the end: meanwhile `held` holds records read and not yet taken.
    uint64_t seen = *kernel.lost;
    dorvaneevent *all = nullptr;
    size_t count = 0, size = 0;
    dorvaneheldkey key, next;
    for (void *at = nullptr; mapnextkey(kernel.held, at, &next); at = &key) {
        key = next;
        if (!roomforone((void **)&all, count, &size, sizeof *all)) {
            seen--; // the rest at the next reconcile
            break;
        }
        if (mapfind(kernel.held, &key, &all[count]))
            count++;
    }
    consumering(&ring, ringevent);
    if (count > 1) // an empty read leaves a null array, which qsort must not be given
        qsort(all, count, sizeof *all, bycreation);
    for (size_t i = 0; i < count; i++) {
        dorvaneevent now;
        if (readheld(all[i].id, &now))
            takeheld(&now, 0);
    }
    free(all);
    lostseen = seen;
}

// What could not be reported, said once the tree is gone: the report alone would not show
// it. The exit code stays the root's.
static void saylosses(void)
{
    uint64_t count = *kernel.unreported;
    if (unknownends > count)
        count = unknownends;
    if (!count)
        return;
    char text[160];
    int length = snprintf(text, sizeof text,
                          "dorvane: %llu processes could not be reported in full: the kernel "
                          "had no room to keep their events\n",
                          (unsigned long long)count);
    if (write(STDERR_FILENO, text, (size_t)length) < 0) {
        // nowhere else to say it
    }
}

// Events come in bursts (a build starts many processes at once). dorvane reads and writes
// as soon as it wakes, so that a lone process's lines come at once. Under a storm, where each
// event would cost the programs a cross-CPU wake-up and dorvane a context switch, it pauses
// after each wake-up to let the rest of the burst gather: from STORMWAKES wake-ups within
// GATHERMS until a wait blocks that long. (A lone short process makes three: its fork, exec
// and exit.) The kernel wakes dorvane for an event only when it has read all before it, so a
// pause takes a burst in one read. It ends early when an announcement falls due, or at the
// doorbell: the tree is gone, so the report's end is not delayed.
#define GATHERMS 25
#define STORMWAKES 4

static bool storming;
// The times of the last wake-ups but one, by their count.
static uint32_t lastwakes[STORMWAKES - 1];
static unsigned wakes;

// Whether this wake-up makes a storm, or keeps one going.
static bool stormy(uint32_t woke, uint32_t waited)
{
    if (woke - waited >= GATHERMS)
        storming = false;
    uint32_t *oldest = &lastwakes[wakes++ % (STORMWAKES - 1)];
    if (wakes >= STORMWAKES && woke - *oldest < GATHERMS)
        storming = true;
    *oldest = woke;
    return storming;
}

// The waits take the signal mask open: a signal that is to end dorvane interrupts them.
static bool readevents(int timeoutms, const sigset_t *open)
{
    pollfd ready[2] = {{doorbell.fd, POLLIN, 0}, {ring.fd, POLLIN, 0}};
    timespec limit = {timeoutms / 1000, timeoutms % 1000 * 1000000L};
    uint32_t waited = nowms();
    int n = ppoll(ready, 2, timeoutms < 0 ? nullptr : &limit, open);
    if (n < 0 && errno != EINTR)
        return tree.count > 0;
    uint32_t woke = nowms();
    if (n == 0 && woke - waited >= GATHERMS)
        storming = false;
    if (n > 0 && stormy(woke, waited) && !ready[0].revents && *kernel.alive > 0) {
        int ms = timeoutms >= 0 && timeoutms < GATHERMS ? timeoutms : GATHERMS;
        timespec pause = {0, ms * 1000000L};
        ppoll(ready, 1, &pause, open);
    }
    // Emptied first: a ring for what comes after this read wakes the next wait.
    consumering(&doorbell, nullptr);
    readingevents();
    consumering(&ring, ringevent);
    if (*kernel.lost != lostseen)
        reconcile();
    // As the first process of a pid namespace, dorvane is the parent of its orphans.
    if (getpid() == 1)
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    if (*kernel.alive > 0)
        return true;
    // The last process has ended: what it and the others sent is in the ring or `held`.
    consumering(&ring, ringevent);
    while (*kernel.lost != lostseen)
        reconcile();
    // Any left were lost outright: they end without their status rather than never.
    while (pidentry *e = pidnext(&tree, nullptr))
        ended((treeproc *)e, UNKNOWNSTATUS);
    saylosses();
    return false;
}

// A signal that ends dorvane and comes while it waits is handled once what the kernel has
// told is read: those lines are written before it ends.
static bool events(int timeoutms)
{
    if (endsignal)
        endbysignal(endsignal);
    sigset_t open;
    deferguard(&open);
    bool more = readevents(timeoutms, &open);
    endsignal = undeferguard();
    return more || endsignal;
}

const tracker ebpftracker = {load, seize, afterfork, awaitexec, adopt, follow, resume, events};
