// The eBPF tracker's user half: loads the kernel half (tracker.bpf.c), starts the root
// stopped after its exec, and tells the job what the ring buffer's events say.
// Nothing of the tree is stopped or traced, so its programs run as they would without
// dorvane. The kernel keeps the truth in its maps; the ring only tells what changed, and
// when it had no room, dorvane reads the maps instead (reconcile).
#include "../base/pidtable.h"
#include "../tracker.h"
#include "event.h"
#include "tracker.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <errno.h>
#include <linux/capability.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef DORVANE_RING_BYTES
#define DORVANE_RING_BYTES (1u << 20) // some 20,000 events of dorvane falling behind
#endif

// A process of the tree, as the kernel half names it.
struct treeproc {
    pidentry entry;     // by pid
    proc *process;      // held
    uint64_t id;        // the kernel half's, unique where pids are reused
    bool ending;        // the maps told its end, which waits in `ending`
    uint32_t endstatus; // that end's wait status
    uint32_t endkey;    // where `procs` filed that record: the kernel's tgid
};

// A record read from a map, with the key it is filed under there (a tgid or an id).
struct kept {
    bpf_map *map;
    unsigned char key[8];
    dorvanerecord record;
};

// An end that the maps told (its event was lost).
struct endingproc {
    uint32_t pid;
    uint64_t id;
};

// The processes of the tree whose end has not been handled yet.
static pidtable tree;
// The loaded kernel half, and the ring of its events.
static dorvanebpf *skel;
static ring_buffer *ring;
// The root's record, until its fork event names its id; and its pid.
static proc *unplacedroot;
static pid_t rootpid;
// The kernel's count of lost events when the maps were last read.
static uint64_t lostseen;
// Ends that the maps told, waiting until the ring has been read past the moment the maps
// were read: until then it may hold the process's own earlier events and its children's,
// which must find it as it was, in the tree and with its program.
static endingproc *ending;
static size_t nending, endingsize;
// Records of the maps that wait for the same, for the end of an older process under their
// pid to come first.
static kept *deferred;
static size_t ndeferred, deferredsize;

static int ringevent(void *, void *data, size_t size);

static bool kernelisnewenough(void)
{
    struct utsname name;
    unsigned major = 0, minor = 0;
    if (uname(&name) < 0 || sscanf(name.release, "%u.%u", &major, &minor) != 2)
        return false;
    return (major > 5 || (major == 5 && minor >= 8)) &&
           access("/sys/kernel/btf/vmlinux", R_OK) == 0;
}

// libbpf's own messages would go to standard error, which dorvane never writes.
static int quiet(enum libbpf_print_level, const char *, va_list)
{
    return 0;
}

// Once the programs are loaded, dorvane needs no privilege but, on kernels before 6.5
// with unprivileged eBPF disabled, CAP_BPF for the map reads of a reconcile: that one it
// keeps there, and only there. The programs it starts never inherit any (none is
// inheritable or ambient), and it keeps none that could reach them.
static void dropcapabilities(void)
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) < 0 || (!data[0].permitted && !data[1].permitted))
        return;
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    unsigned word = CAP_BPF / 32, bit = 1u << (CAP_BPF % 32);
    bool hadbpf = data[word].permitted & bit;
    memset(data, 0, sizeof data);
    if (hadbpf)
        data[word].permitted = bit; // for now: not effective, to see if map reads need it
    syscall(SYS_capset, &header, data);
    uint32_t key = 0;
    if (!hadbpf || bpf_map_lookup_elem(bpf_map__fd(skel->maps.procs), &key, nullptr) == 0 ||
        errno != EPERM)
        data[word].permitted = 0;
    else
        data[word].effective = bit;
    syscall(SYS_capset, &header, data);
}

static bool load(void)
{
    if (!kernelisnewenough()) {
        setlasterror(ERROR_NOT_SUPPORTED);
        return false;
    }
    libbpf_set_print(quiet);
    struct stat ns;
    if (stat("/proc/self/ns/pid", &ns) < 0 || !(skel = dorvanebpf__open())) {
        setlasterror(winerror(errno));
        return false;
    }
    skel->rodata->selfpid = (uint32_t)getpid();
    // The kernel's own encoding of a device number, which its namespace helper compares.
    skel->rodata->selfnsdev = (uint64_t)major(ns.st_dev) << 20 | minor(ns.st_dev);
    skel->rodata->selfnsino = ns.st_ino;
#ifdef DORVANE_NO_FOLLOW
    skel->rodata->follow = 0; // the negative control's build: the root's children escape
#endif
    bpf_map__set_max_entries(skel->maps.ring, DORVANE_RING_BYTES);
    int err = dorvanebpf__load(skel);
    if (!err)
        err = dorvanebpf__attach(skel);
    if (!err &&
        !(ring = ring_buffer__new(bpf_map__fd(skel->maps.ring), ringevent, nullptr, nullptr)))
        err = -errno;
    if (err) {
        ring_buffer__free(ring);
        ring = nullptr;
        dorvanebpf__destroy(skel);
        skel = nullptr;
        setlasterror(winerror(-err));
        return false;
    }
    // Run by root, dorvane keeps what root has: the programs it starts get it back anyway.
    if (getuid() != 0)
        dropcapabilities();
    return true;
}

// The kernel half has seen the fork and will stop the root after its exec.
static bool seize(pid_t)
{
    if (skel->bss->rootfound)
        return true;
    errno = ESRCH;
    return false;
}

static void afterfork(void) {}

// The stop after the exec is a plain SIGSTOP; an exit means the exec failed.
static int awaitexec(pid_t pid, int errfd)
{
    for (;;) {
        int status;
        if (waitpid(pid, &status, WUNTRACED) < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (WIFSTOPPED(status))
            return 0;
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
    rootpid = pid;
    holdproc(root);
    ring_buffer__consume(ring);
    return true;
}

static bool follow(pid_t)
{
    return true; // the kernel half follows the root's children from its fork on
}

static bool resume(pid_t root)
{
    if (kill(root, SIGCONT) == 0)
        return true;
    setlasterror(winerror(errno));
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
// time, but older ones can stay under it: one whose end was lost, or whose end the maps
// told while the ring may still hold its events.
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
static image *imageof(const dorvanerecord *r)
{
    const char *components = r->image;
    size_t length = r->head.imagelength;
    char path[DORVANEIMAGESIZE + 2];
    if (r->head.truncated)
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

// A process the events or the maps tell of for the first time: the maps' record names the
// program it runs; an event, which has no image, leaves it running its parent's.
static treeproc *newprocess(const dorvaneevent *e, const dorvanerecord *named)
{
    treeproc *t = (treeproc *)calloc(1, sizeof(treeproc));
    if (!t)
        return nullptr;
    image *img = named ? imageof(named) : nullptr;
    proc *p;
    if (!e->parentid && unplacedroot) {
        p = unplacedroot;
        unplacedroot = nullptr;
        if (img)
            procexeced(p, img);
    } else {
        treeproc *parent = findid(e->parentpid, e->parentid);
        p = procforked(parent ? parent->process : nullptr, e->pid, img);
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

// Takes the record of a process whose end the maps told out of them, so that no later
// read brings it back: from `procs` only if it is still this process's (the pid may have
// gone to another since, whose record then moved this one to the graves).
static void forget(const treeproc *t)
{
    int procs = bpf_map__fd(skel->maps.procs);
    dorvanerecord r;
    if (bpf_map_lookup_elem(procs, &t->endkey, &r) == 0 && r.head.id == t->id)
        bpf_map_delete_elem(procs, &t->endkey);
    bpf_map_delete_elem(bpf_map__fd(skel->maps.graves), &t->id);
}

static void ended(treeproc *t, uint32_t status)
{
    if (t->ending)
        forget(t);
    procended(t->process, (int)status);
    // The root is dorvane's child: reaped now, a moment after the kernel half saw it go.
    if (t->entry.pid == rootpid)
        while (waitpid(rootpid, nullptr, 0) < 0 && errno == EINTR) {
        }
    piderase(&tree, &t->entry);
    releaseproc(t->process);
    free(t);
}

// The pid has gone to the process with this id, whose lines are to come: an older one under
// it has ended before, and says so now. Where its end was lost with its record, without
// its code rather than never; one whose end the maps told stays in the tree until the
// ring has been read past it, for its own late events and its children's.
static void endstale(uint32_t pid, uint64_t id)
{
    pidentry *e = pidfind(&tree, (pid_t)pid);
    while (e) {
        treeproc *t = (treeproc *)e;
        e = pidfindnext(e);
        if (t->id == id)
            continue;
        if (t->ending)
            procended(t->process, (int)t->endstatus);
        else
            ended(t, 0);
    }
}

// Without memory to wait, the end is taken at once.
static void endlater(treeproc *t, const kept *k)
{
    t->ending = true;
    t->endstatus = k->record.head.status;
    t->endkey = k->map == skel->maps.procs ? *(const uint32_t *)k->key : 0;
    if (!roomforone((void **)&ending, nending, &endingsize, sizeof *ending))
        return ended(t, t->endstatus);
    ending[nending++] = {(uint32_t)t->entry.pid, t->id};
}

// Whether another process under this pid, not known to have ended, may still have its end
// in the ring.
static bool heldby(uint32_t pid, uint64_t id)
{
    for (pidentry *e = pidfind(&tree, (pid_t)pid); e; e = pidfindnext(e))
        if (((treeproc *)e)->id != id && !((treeproc *)e)->ending)
            return true;
    return false;
}

// One record of the maps, taken in.
static void place(const kept *k)
{
    const dorvanerecord *r = &k->record;
    treeproc *t = findid(r->head.pid, r->head.id);
    if (!t) {
        endstale(r->head.pid, r->head.id);
        if (!(t = newprocess(&r->head, r)))
            return;
    } else if (r->head.kind != DORVANEFORK) {
        procexeced(t->process, imageof(r)); // it exec'd, or ended after an exec perhaps
    }
    if (r->head.state == DORVANEENDED && !t->ending)
        endlater(t, k);
}

// Without memory to wait, the record is placed at once.
static void placelater(const kept *k)
{
    if (!roomforone((void **)&deferred, ndeferred, &deferredsize, sizeof *deferred))
        return place(k);
    deferred[ndeferred++] = *k;
}

// What the maps told, once the ring has been read past the moment they were read: the
// records that had to wait, then the ends.
static void endnow(void)
{
    for (size_t i = 0; i < ndeferred; i++)
        place(&deferred[i]);
    ndeferred = 0;
    for (size_t i = 0; i < nending; i++) {
        treeproc *t = findid(ending[i].pid, ending[i].id);
        if (t)
            ended(t, t->endstatus);
    }
    nending = 0;
}

static void reconcile(void);

// One event. Each names its process whole, so one whose earlier events were lost is still
// placed: after the maps have been read for what was lost with them.
static int ringevent(void *, void *data, size_t size)
{
    const dorvanerecord *r = (const dorvanerecord *)data;
    if (size < sizeof r->head)
        return 0;
    treeproc *t = findid(r->head.pid, r->head.id);
    // Unknown, it may be one whose earlier events were lost, or a newer process under the
    // pid of one whose end was lost: only events lost since the maps were last read can
    // hide it.
    if (!t && skel->bss->lost != lostseen) {
        reconcile();
        t = findid(r->head.pid, r->head.id);
    }
    if (!t) {
        endstale(r->head.pid, r->head.id);
        if (!(t = newprocess(&r->head, nullptr)))
            return 0;
    }
    if (r->head.kind == DORVANEEXEC && size >= sizeof r->head + r->head.imagelength)
        procexeced(t->process, imageof(r));
    else if (r->head.kind == DORVANEEXIT)
        ended(t, r->head.status);
    return 0;
}

// Adds every record of one map to all.
static void readmap(bpf_map *map, kept **all, size_t *count, size_t *size)
{
    int fd = bpf_map__fd(map);
    unsigned char key[8], next[8];
    for (void *at = nullptr; bpf_map_get_next_key(fd, at, next) == 0; at = key) {
        memcpy(key, next, sizeof key);
        if (!roomforone((void **)all, *count, size, sizeof **all))
            return;
        kept *k = &(*all)[*count];
        k->map = map;
        memcpy(k->key, key, sizeof key);
        if (bpf_map_lookup_elem(fd, key, &k->record) == 0)
            (*count)++;
    }
}

static int bycreation(const void *a, const void *b)
{
    uint64_t x = ((const kept *)a)->record.head.created;
    uint64_t y = ((const kept *)b)->record.head.created;
    return x < y ? -1 : x > y;
}

// The ring had no room for some events: the maps hold every process of the tree that is
// alive, and every ended one whose end was lost. They are taken in the order of their
// creation, so a parent comes before its children. A record may be read twice: a walk of a
// hash map that changes meanwhile can start over. One whose pid a process still holds
// waits: that one ended before it began, with an end the ring may still carry.
static void reconcile(void)
{
    lostseen = skel->bss->lost;
    kept *all = nullptr;
    size_t count = 0, size = 0;
    readmap(skel->maps.procs, &all, &count, &size);
    readmap(skel->maps.graves, &all, &count, &size);
    if (count > 1) // an empty read leaves a null array, which qsort must not be given
        qsort(all, count, sizeof *all, bycreation);
    for (size_t i = 0; i < count; i++) {
        const dorvaneevent *e = &all[i].record.head;
        if (!findid(e->pid, e->id) && heldby(e->pid, e->id))
            placelater(&all[i]);
        else
            place(&all[i]);
    }
    free(all);
}

// Events come in bursts (a build starts many processes at once). The kernel wakes dorvane
// for an event only when it has read all before it, so a pause after a wake-up lets the rest
// of a burst gather: one wake-up for many events, where each would cost the programs a
// cross-CPU wake-up and dorvane a context switch (measured: a spawn storm 1.10x with 10 ms,
// 1.03x with 100 ms). The pause ends early when an announcement falls due, and there is
// none once the tree is gone, so the report's end is not delayed.
#ifndef DORVANE_GATHER_MS
#define DORVANE_GATHER_MS 100
#endif

static bool events(int timeoutms)
{
    struct epoll_event ready;
    int n = epoll_wait(ring_buffer__epoll_fd(ring), &ready, 1, timeoutms);
    if (n < 0 && errno != EINTR)
        return tree.count > 0;
    if (n > 0 && skel->bss->alive > 0) {
        int ms =
            timeoutms >= 0 && timeoutms < DORVANE_GATHER_MS ? timeoutms : DORVANE_GATHER_MS;
        struct timespec pause = {0, ms * 1000000L};
        nanosleep(&pause, nullptr);
    }
    ring_buffer__consume(ring);
    if (skel->bss->lost != lostseen) {
        reconcile();
        ring_buffer__consume(ring); // past that read, so that what it told can be taken now
    }
    endnow(); // the ring has been read past every read of the maps so far
    // As the first process of a pid namespace, dorvane is the parent of its orphans.
    if (getpid() == 1)
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    if (skel->bss->alive > 0)
        return true;
    // The last process has ended: what it and the others sent is in the ring by now.
    ring_buffer__consume(ring);
    if (skel->bss->lost != lostseen || tree.count)
        reconcile();
    endnow(); // nothing is left in the ring to come before them
    return false;
}

const tracker ebpftracker = {load, seize, afterfork, awaitexec, adopt, follow, resume, events};
