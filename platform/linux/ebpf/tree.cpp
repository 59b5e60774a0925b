// The processes of the tree as the eBPF tracker's kernel half tells of them, taken into the
// job's records: from the ring as they come, and from `held` what the ring had no room for.
//
// How it reads, so that every process comes out once, named, and ended with its code (the
// kernel half's opening comment says what it promises):
// - A process is known by the kernel half's id alone. Its pid is kept only to notice when the
//   pid has come to a newer process: the older one has ended by then, whatever was kept of it.
// - For each process the ring's changes come first and in order, then `held`'s: `held` is
//   read once the ring has been read past the moment it was looked at, in the order of the
//   ids, so a creator is taken before its children; a change whose `seq` was taken is no news.
// - A creator stays known after its end until every child its last change counts has been
//   read, so that a child read late finds it and the program it inherited: the creator's
//   program when it forked, which `parentexecs` tells.
// - An end is reported as it is read, with its status. One that no table could keep is
//   reported without it (never as success): as soon as its pid is found to be another's,
//   or else once the tree is gone. A stranded process is watched here, through a pidfd, and
//   its end reported when it comes.
#include "../base/pidtable.h"
#include "ebpf.h"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// A process of the tree.
struct treeproc {
    pidentry byid;     // filed by the low half of its id
    pidentry bypid;    // filed by its pid, until its end is reported
    uint64_t id;       // the kernel half's
    proc *process;     // held
    image *born;       // the program it inherited; the first and latest it exec'd
    image *first;      //   (each held), which its children read late inherit
    image *current;    //
    uint32_t seq;      // the last change taken
    uint32_t execs;    // the execs taken
    uint32_t children; // the children read
    uint32_t forks;    // the children the kernel half recorded, as its last change told
    int watch;         // a pidfd while it is stranded and watched, else -1
    bool stranded;     // the kernel half no longer follows it: its count of children stops
    bool ended;        // its end has been reported
    bool stale;        // read after a newer process took its pid: it has ended
};

// Every process read whose end has not been reported, or whose children are still to come.
static pidtable byid, bypid;
// The root's record, until its fork is read; its pid and id once it is.
static proc *unplacedroot;
static pid_t rootpid;
static uint64_t rootid;
// The root from its adoption until it is let go. Let go from outside meanwhile (a SIGCONT
// to its group), it may end: that end waits until then, to be reported after its start.
static proc *heldroot;
static treeproc *heldend;
static int heldendstatus;
// The kernel's count of writes to `held` when it was last read.
static uint64_t lostseen;
// Processes whose end came without its status.
static uint64_t unknownends;
// The stranded processes watched, each by its pidfd.
static treeproc **watched;
static size_t nwatched, watchedsize;

uint64_t lasteventat;

static treeproc *frombypid(pidentry *e)
{
    return (treeproc *)((char *)e - offsetof(treeproc, bypid));
}

// Whether the live process with this pid is the one that started at this boot time (ns), as
// /proc/PID/stat tells it, in clock ticks. Where /proc is not of dorvane's pid namespace it
// cannot tell, and the pid is taken for the process.
static bool samestart(pid_t pid, uint64_t started)
{
    char path[40], stat[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    if (!ownproc())
        return true;
    if (readsmall(path, stat, sizeof stat) <= 0)
        return false;
    const char *at = strrchr(stat, ')'); // the name before it may hold anything
    for (int field = 2; at && field < 22; field++)
        at = strchr(at + 1, ' ');
    long tick = sysconf(_SC_CLK_TCK);
    return at && tick > 0 && strtoull(at + 1, nullptr, 10) == started / (1000000000ull / tick);
}

bool roomforone(void **array, size_t count, size_t *size, size_t each)
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

static treeproc *findid(uint64_t id)
{
    pidentry *e = pidfind(&byid, (pid_t)(uint32_t)id);
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
    if (!components || head->truncated == DORVANENOIMAGE || length > DORVANEIMAGESIZE)
        return nullptr;
    if (head->truncated)
        return toolongimage();
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

// The process with this id as `held` keeps it; false if it is not there.
static bool readheld(uint64_t id, dorvaneevent *e)
{
    dorvaneheldkey key = {64, (uint32_t)id, (uint32_t)(id >> 32)};
    return mapfind(kernel.held, &key, e);
}

// The first or latest program that a held process exec'd, if `heldimages` kept it.
static image *heldimage(const dorvaneevent *e, uint32_t which)
{
    dorvaneimagekey key = {96, (uint32_t)e->id, (uint32_t)(e->id >> 32), which};
    dorvanerecord kept;
    if (!(e->heldimages & which) || !mapfind(kernel.heldimages, &key, &kept))
        return nullptr;
    return imageof(&kept.head, kept.image);
}

// An ended process's record is final: the kernel half writes it no more.
static void forgetheld(const dorvaneevent *e)
{
    dorvaneheldkey key = {64, (uint32_t)e->id, (uint32_t)(e->id >> 32)};
    maperase(kernel.held, &key);
    for (uint32_t which = DORVANEFIRST; which <= DORVANELATEST; which <<= 1) {
        dorvaneimagekey image = {96, key.idlow, key.idhigh, which};
        if (e->heldimages & which)
            maperase(kernel.heldimages, &image);
    }
}

static void take(const dorvaneevent *e, const char *components, bool ring);

// A process is done with once its end is reported and its last child read (a stranded one,
// whose count of children nothing tells any more, only with the tree).
static void retire(treeproc *t)
{
    if (!t->ended || t->children < t->forks || t->stranded)
        return;
    piderase(&byid, &t->byid);
    releaseproc(t->process);
    dropimage(t->born);
    dropimage(t->first);
    dropimage(t->current);
    free(t);
}

static void unwatch(treeproc *t)
{
    if (t->watch < 0)
        return;
    close(t->watch);
    t->watch = -1;
    for (size_t i = 0; i < nwatched; i++)
        if (watched[i] == t)
            watched[i] = watched[--nwatched];
}

static void ended(treeproc *t, int status)
{
    if (t->ended)
        return;
    if (t->process == heldroot) {
        heldend = t;
        heldendstatus = status;
        return;
    }
    if (status == UNKNOWNSTATUS)
        unknownends++;
    procended(t->process, status);
    // The root is dorvane's child: reaped now, a moment after the kernel half saw it go.
    if (t->id == rootid)
        while (waitpid(rootpid, nullptr, 0) < 0 && errno == EINTR) {
        }
    unwatch(t);
    piderase(&bypid, &t->bypid);
    t->ended = true;
    retire(t);
}

// A process whose end the tables may have kept, or lost: with its status, or without.
static void endlost(treeproc *t)
{
    uint64_t id = t->id;
    dorvaneevent kept;
    if (readheld(id, &kept))
        take(&kept, nullptr, false);
    if ((t = findid(id)) && !t->ended)
        ended(t, UNKNOWNSTATUS);
}

// The pid has come to the process with this id. One read before under it that has not ended
// here has ended all the same, since a pid names one process at a time and comes to another
// only once its process is reaped: it is ended with what `held` kept of it, if anything.
// Returns whether a newer process has the pid already, so that this one, read late, has
// ended too.
static bool endstale(uint32_t pid, uint64_t id)
{
    bool newer = false;
    for (pidentry *e = pidfind(&bypid, (pid_t)pid); e;) {
        treeproc *t = frombypid(e);
        e = pidfindnext(e);
        if (t->id > id)
            newer = true;
        // The root, held until it is let go, is dorvane's child: its pid is not reused.
        if (t->id >= id || t->process == heldroot)
            continue;
        endlost(t);
        e = pidfind(&bypid, (pid_t)pid); // the walk starts over: t has left it
    }
    return newer;
}

// The creator's unknown forebears in `held`, taken oldest first, each creating the next:
// a chain of orphans read late, however long, without a call per link.
static void takeforebears(uint64_t id)
{
    dorvaneevent *chain = nullptr;
    size_t count = 0, size = 0;
    dorvaneevent kept;
    while (id && !findid(id) && readheld(id, &kept) &&
           roomforone((void **)&chain, count, &size, sizeof *chain)) {
        chain[count++] = kept;
        id = kept.parentid;
    }
    while (count)
        take(&chain[--count], nullptr, false);
    free(chain);
}

// The creator that e names, with the changes it made up to e's fork taken: its events in
// the ring came before e's, and the rest of them, if any, are in `held`.
static treeproc *creatorof(const dorvaneevent *e)
{
    treeproc *c = findid(e->parentid);
    dorvaneevent kept;
    if (!c)
        takeforebears(e->parentid);
    else if (c->execs < e->parentexecs && readheld(c->id, &kept))
        take(&kept, nullptr, false);
    return c ? c : findid(e->parentid);
}

// The program the creator ran when it forked a child, by the count of its execs then. Of
// the execs that `held` collapsed between its first and its latest, a child forked then is
// given the latest.
static image *inherited(treeproc *c, uint32_t execs)
{
    if (!c)
        return nullptr;
    if (execs == 0)
        return c->born;
    if (execs == 1 && c->execs > 1)
        return c->first;
    return c->current;
}

// A process read for the first time: at its fork, or from what `held` kept of it.
static treeproc *born(const dorvaneevent *e)
{
    bool stale = endstale(e->pid, e->id);
    treeproc *creator = e->parentid ? creatorof(e) : nullptr;
    treeproc *t = (treeproc *)calloc(1, sizeof(treeproc));
    if (!t)
        return nullptr;
    image *img = keepimage(inherited(creator, e->parentexecs));
    proc *p;
    if (!e->parentid && unplacedroot) {
        p = unplacedroot;
        unplacedroot = nullptr;
        rootid = e->id;
        dropimage(img);
        img = nullptr;
    } else if ((p = procforked(creator ? creator->process : nullptr, e->pid, keepimage(img)))) {
        procstarted(p, (uint32_t)(e->created / 1000000)); // the same clock, in ns
        procforkedat(p, e->created);
        proccreator(p, e->parentpid); // also where its creator's record is gone
    }
    t->byid.pid = (pid_t)(uint32_t)e->id;
    t->bypid.pid = (pid_t)e->pid;
    bool filed = p && pidinsert(&bypid, &t->bypid);
    if (!filed || !pidinsert(&byid, &t->byid)) {
        if (filed)
            piderase(&bypid, &t->bypid);
        if (p)
            releaseproc(p);
        dropimage(img);
        free(t);
        return nullptr;
    }
    t->id = e->id;
    t->process = p;
    t->born = img;
    t->current = keepimage(img);
    t->watch = -1;
    t->stale = stale;
    if (creator) {
        creator->children++;
        retire(creator);
    }
    return t;
}

static void execed(treeproc *t, image *img)
{
    if (!t->execs++)
        t->first = keepimage(img);
    dropimage(t->current);
    t->current = keepimage(img);
    procexeced(t->process, img);
}

// The execs e tells that have not been taken: the ring's one, with its image, or what `held`
// kept of those it collapsed. A process that forked before its first exec was named by that
// fork, with the program it inherited.
static void takeexecs(treeproc *t, const dorvaneevent *e, const char *components, bool ring)
{
    if (ring) {
        image *img = imageof(e, components);
        if (img && e->hasargs)
            imageargs(img, components + e->imagelength, e->argslength);
        execed(t, img);
    } else {
        if (!t->execs) {
            if (e->forkedfirst)
                procforking(t->process);
            execed(t, heldimage(e, DORVANEFIRST));
        }
        if (e->execs > t->execs)
            execed(t, heldimage(e, DORVANELATEST));
    }
    t->execs = e->execs;
}

// A stranded process, which the kernel half no longer follows to its end, is watched here
// through a pidfd, once its pid and start time show that it is still the same process;
// else it has ended already.
static void watch(treeproc *t, const dorvaneevent *e)
{
    t->stranded = true;
    int fd = (int)syscall(SYS_pidfd_open, (pid_t)e->pid, 0);
    if (fd >= 0 && samestart((pid_t)e->pid, e->started) &&
        roomforone((void **)&watched, nwatched, &watchedsize, sizeof *watched)) {
        t->watch = fd;
        watched[nwatched++] = t;
        return;
    }
    if (fd >= 0)
        close(fd);
    ended(t, UNKNOWNSTATUS);
}

// Takes a change of a process: from the ring, where components follow an exec's head, or
// from `held`.
static void take(const dorvaneevent *e, const char *components, bool ring)
{
    treeproc *t = findid(e->id);
    if (!t && !(t = born(e)))
        return;
    if (t->ended || e->seq <= t->seq)
        return;
    if (e->execs > t->execs)
        takeexecs(t, e, components, ring);
    t->seq = e->seq;
    t->forks = e->forks;
    if (e->state == DORVANEENDED) {
        if (e->held)
            forgetheld(e);
        procendedat(t->process, e->at); // the change that ended it
        if (recordasked())
            procusage(t->process, e->user, e->system,
                      e->maxrss * (uint64_t)sysconf(_SC_PAGESIZE) / 1024);
        ended(t, (int)e->status);
    } else if (t->stale) {
        ended(t, UNKNOWNSTATUS);
    } else if (e->state == DORVANESTRANDED && t->watch < 0) {
        watch(t, e);
    }
}

void ringevent(const void *data, uint32_t size)
{
    const dorvanerecord *r = (const dorvanerecord *)data;
    if (size < sizeof r->head)
        return;
    lasteventat = r->head.at;
    bool whole = size >= sizeof r->head + r->head.imagelength +
                             (r->head.hasargs ? r->head.argslength : 0);
    take(&r->head, r->head.kind == DORVANEEXEC && whole ? r->image : nullptr, true);
}

static int byidorder(const void *a, const void *b)
{
    uint64_t x = ((const dorvaneevent *)a)->id, y = ((const dorvaneevent *)b)->id;
    return x < y ? -1 : x > y;
}

// What the ring had no room for, from `held`, creators before their children. Read once to
// know what is there, then again, each record after the ring has been read past the moment
// it was seen: the ring may still carry changes of a kept process from before it was kept.
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
        qsort(all, count, sizeof *all, byidorder);
    for (size_t i = 0; i < count; i++) {
        dorvaneevent now;
        if (readheld(all[i].id, &now))
            take(&now, nullptr, false);
    }
    free(all);
    lostseen = seen;
}

void readtree(void)
{
    consumering(&ring, ringevent);
    if (*kernel.lost != lostseen)
        reconcile();
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

bool treegone(void)
{
    if (*kernel.alive > 0)
        return false;
    // Every end the kernel half will tell has been told: it is in the ring or `held`.
    consumering(&ring, ringevent);
    while (*kernel.lost != lostseen)
        reconcile();
    // Any left unwatched were lost outright: they end without their status rather than never.
    for (pidentry *e = pidnext(&bypid, nullptr); e;) {
        treeproc *t = frombypid(e);
        e = pidnext(&bypid, e); // before t leaves the table
        if (t->watch < 0)
            ended(t, UNKNOWNSTATUS);
    }
    if (nwatched)
        return false;
    saylosses();
    return true;
}

size_t watchcount(void)
{
    return nwatched;
}

size_t watchfds(pollfd *fds, size_t room)
{
    size_t n = nwatched < room ? nwatched : room;
    for (size_t i = 0; i < n; i++)
        fds[i] = {watched[i]->watch, POLLIN, 0};
    return n;
}

void watchedready(const pollfd *fds, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (!fds[i].revents)
            continue;
        for (size_t j = 0; j < nwatched; j++)
            if (watched[j]->watch == fds[i].fd) {
                ended(watched[j], UNKNOWNSTATUS);
                break;
            }
    }
}

void adoptroot(proc *root, pid_t pid)
{
    unplacedroot = root;
    heldroot = root;
    rootpid = pid;
    holdproc(root);
    consumering(&ring, ringevent);
}

bool letrootgo(void)
{
    heldroot = nullptr;
    treeproc *end = heldend;
    heldend = nullptr;
    if (end)
        ended(end, heldendstatus);
    return end != nullptr;
}

// An older process whose end is not reported yet may share its pid with the one that has it
// now, which was filed after it.
void eachtreeprocess(void (*each)(pid_t pid, int stopped))
{
    for (pidentry *e = pidnext(&bypid, nullptr); e; e = pidnext(&bypid, e))
        if (pidfind(&bypid, e->pid) == e)
            each(e->pid, -1);
}
