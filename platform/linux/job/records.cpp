// The processes of the tree as the job records them, and the rules every tracker's reports
// go through: when a process is announced, and what its end says.
#include "records.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// When the tracker last began to read the tree's events.
static uint32_t eventsread;
// Children not announced when they were reported, oldest first, each held: a ring that
// grows as needed. Most leave at once by their exec; the rest are announced when due.
static proc **unannounced;
static size_t unannouncedhead, unannouncedcount, unannouncedsize;
// Whether /proc shows dorvane's own pid namespace: -1 until first asked.
static int procisours = -1;
// What the core has opened of processes: one for each it has seen, kept to the run's end.
static blockpool openedpool = {sizeof(opened)};
// pidfd_open's flag for a pidfd of a thread (kernel 6.9); <linux/pidfd.h> clashes with
// <fcntl.h>.
#define PIDFD_THREAD O_EXCL

proc *newproc(DWORD pid)
{
    proc *p = (proc *)calloc(1, sizeof(proc));
    if (!p)
        return nullptr;
    p->kind = KINDPROCESS;
    p->alive = true;
    p->refs = 1;
    p->pid = pid;
    p->startns = nowns();
    p->creator = (DWORD)getpid();
    p->userns = p->systemns = p->maxrsskb = UNKNOWNUSE;
    return p;
}

void holdproc(proc *p)
{
    p->refs++;
}

void releaseproc(proc *p)
{
    if (--p->refs > 0)
        return;
    dropimage(p->current);
    dropimage(p->shown);
    if (p->handles)
        closeopened(p->handles);
    p->kind = (handlekind)0; // a stale handle to it must not pass for a process
    free(p);
}

// Read as a byte: records of different alignments share it.
static int handlekindof(HANDLE handle)
{
    return handle && handle != INVALID_HANDLE_VALUE ? *(unsigned char *)handle : 0;
}

proc *asproc(HANDLE handle)
{
    return handlekindof(handle) == KINDPROCESS ? (proc *)handle : nullptr;
}

opened *asopened(HANDLE handle)
{
    return handlekindof(handle) == KINDOPENED ? (opened *)handle : nullptr;
}

opened *openproc(proc *p)
{
    opened *o = p->handles;
    if (!o) {
        if (!(o = (opened *)takeblock(&openedpool)))
            return nullptr;
        o->kind = KINDOPENED;
        o->refs = 1; // the process's
        p->handles = o;
    }
    o->alive = p->alive;
    o->exitcode = p->exitcode;
    o->refs++;
    return o;
}

void closeopened(opened *o)
{
    if (--o->refs > 0)
        return;
    o->kind = (handlekind)0;
    giveblock(&openedpool, o);
}

image *makeimage(const char *path, size_t length)
{
    image *img = (image *)malloc(sizeof(image) + length + 1);
    if (!img)
        return nullptr;
    img->refs = 1;
    img->toolong = false;
    img->args = nullptr;
    img->argslength = 0;
    memcpy(img->path, path, length);
    img->path[length] = '\0';
    return img;
}

image *toolongimage(void)
{
    image *img = makeimage("", 0);
    if (img)
        img->toolong = true;
    return img;
}

// Up to size - 1 bytes of a file, NUL-terminated; how many, or -1.
ssize_t readsmall(const char *path, char *text, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, text, size - 1);
    close(fd);
    text[n > 0 ? n : 0] = '\0';
    return n;
}

// Whether /proc is of dorvane's own pid namespace. In a namespace that mounted none of its
// own (unshare -p without --mount-proc) it is an outer one's, where /proc/PID is some other
// process. /proc/self is dorvane in any /proc that shows it, and its NSpid line lists
// dorvane's pids from /proc's namespace down to its own: one alone if they are the same.
static bool procisown(void)
{
    char text[4096], self[16];
    if (readsmall("/proc/self/status", text, sizeof text) <= 0)
        return false;
    const char *at = strstr(text, "\nNSpid:");
    if (!at) { // kernels before 4.1: the pid /proc gives dorvane is the one it has
        ssize_t n = readlink("/proc/self", self, sizeof self - 1);
        self[n > 0 ? n : 0] = '\0';
        return atoi(self) == getpid();
    }
    char *end;
    strtol(at + 7, &end, 10);
    end += strspn(end, " \t");
    return *end == '\n' || !*end;
}

bool ownproc(void)
{
    if (procisours < 0)
        procisours = procisown();
    return procisours;
}

pid_t procpid(pid_t pid)
{
    if (ownproc())
        return pid;
    // The fdinfo of a pidfd gives its task's pid as the namespace of the /proc read sees
    // it. Kernels before 6.9 make pidfds of processes only.
    int fd = (int)syscall(SYS_pidfd_open, pid, PIDFD_THREAD);
    if (fd < 0)
        fd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0)
        return 0;
    char path[40], text[512];
    snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    ssize_t n = readsmall(path, text, sizeof text);
    close(fd);
    const char *at = n > 0 ? strstr(text, "\nPid:") : nullptr;
    long shown = at ? strtol(at + 5, nullptr, 10) : 0;
    return shown > 0 ? (pid_t)shown : 0;
}

// /proc/PID/exe names the program while the task is stopped with a live memory map; a
// process that is not dumpable hides it, and then only its short name is left. A path
// longer than PATH_MAX is not told, only that it is too long.
image *readimage(pid_t pid)
{
    char link[40], path[4096];
    pid = procpid(pid);
    if (!pid)
        return nullptr;
    snprintf(link, sizeof link, "/proc/%d/exe", (int)pid);
    ssize_t length = readlink(link, path, sizeof path);
    if (length > 0 && (size_t)length < sizeof path)
        return makeimage(path, (size_t)length);
    if (length < 0 && errno == ENAMETOOLONG)
        return toolongimage();
    snprintf(link, sizeof link, "/proc/%d/comm", (int)pid);
    length = readsmall(link, path, sizeof path);
    if (length <= 0)
        return nullptr;
    if (path[length - 1] == '\n')
        length--;
    return makeimage(path, (size_t)length);
}

image *keepimage(image *img)
{
    if (img)
        img->refs++;
    return img;
}

void dropimage(image *img)
{
    if (img && --img->refs == 0) {
        free(img->args);
        free(img);
    }
}

bool imageargs(image *img, const char *args, size_t length)
{
    char *copy = img ? (char *)malloc(length ? length : 1) : nullptr;
    if (!copy)
        return false;
    memcpy(copy, args, length);
    free(img->args);
    img->args = copy;
    img->argslength = length;
    return true;
}

// The kernel gives /proc/PID/cmdline from the process's own memory, as long as it is: a
// page at a time, for the up to 2 MB of arguments an exec may pass.
bool readargs(image *img, pid_t pid)
{
    char path[40];
    pid = procpid(pid);
    snprintf(path, sizeof path, "/proc/%d/cmdline", (int)pid);
    int fd = pid ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0)
        return false;
    size_t length = 0, size = 4096;
    char *args = (char *)malloc(size);
    ssize_t n = 0;
    while (args && (n = read(fd, args + length, size - length)) > 0) {
        length += (size_t)n;
        char *grown = length < size ? args : (char *)realloc(args, size *= 2);
        if (!grown)
            free(args);
        args = grown;
    }
    close(fd);
    bool got = args && n == 0 && length > 0 && imageargs(img, args, length);
    free(args);
    return got;
}

uint64_t nowns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

uint32_t nowms(void)
{
    return (uint32_t)(nowns() / 1000000);
}

void announce(proc *p)
{
    if (p->announced)
        return;
    image *shown = keepimage(p->current);
    if (!postpacket(JOB_OBJECT_MSG_NEW_PROCESS, p)) {
        dropimage(shown); // tried again at its next exec, fork or end
        return;
    }
    p->announced = true;
    p->shown = shown;
}

// Puts a new process in line for its announcement; without memory for the line, it is
// announced by its exec, fork or end only.
static void enqueue(proc *p)
{
    if (unannouncedcount == unannouncedsize) {
        size_t size = unannouncedsize ? 2 * unannouncedsize : 64;
        proc **ring = (proc **)malloc(size * sizeof(proc *));
        if (!ring)
            return;
        for (size_t i = 0; i < unannouncedcount; i++)
            ring[i] = unannounced[(unannouncedhead + i) % unannouncedsize];
        free(unannounced);
        unannounced = ring;
        unannouncedhead = 0;
        unannouncedsize = size;
    }
    unannounced[(unannouncedhead + unannouncedcount++) % unannouncedsize] = p;
    holdproc(p);
}

void readingevents(void)
{
    eventsread = nowms();
}

void procstarted(proc *p, uint32_t ms)
{
    p->created = ms;
}

// How much of its age the process has had to exec in, in ms: not the time it waited for a
// CPU. /proc counts a wait only once it ends, so while the process is runnable only its
// time on a CPU counts (none, while it waits for its first turn, however long); asleep,
// stopped or gone, all but its waits. Read from its first thread, which is all of a child's
// that has not exec'd yet, unless it made threads; where /proc cannot tell (not dorvane's,
// or the process gone, its end to be read), its age.
static uint32_t hadms(DWORD pid, uint32_t age)
{
    char path[40], stat[512], sched[128];
    snprintf(path, sizeof path, "/proc/%u/stat", (unsigned)pid);
    if (!ownproc() || readsmall(path, stat, sizeof stat) <= 0)
        return age;
    snprintf(path, sizeof path, "/proc/%u/schedstat", (unsigned)pid);
    if (readsmall(path, sched, sizeof sched) <= 0)
        return age;
    char *at = sched;
    uint32_t ran = (uint32_t)(strtoull(at, &at, 10) / 1000000);
    uint32_t waited = (uint32_t)(strtoull(at, nullptr, 10) / 1000000);
    const char *state = strrchr(stat, ')'); // the name before it may hold anything
    if (state && state[1] == ' ' && state[2] == 'R')
        return ran;
    return waited < age ? age - waited : 0;
}

// How long until the process is to be announced by its deadline, if it has not been by its
// exec, fork or end by then: 0 for at once, -1 when that is done (or was not needed). A
// process not yet given its time is asked again when it could have had it, and no sooner
// than a quarter of its age: one that a busy machine keeps waiting execs as soon as it runs,
// and is announced by that exec, so asking it often would only add to the load.
static int dueleft(proc *p, uint32_t now)
{
    uint32_t age = now - p->created;
    if (p->announced)
        return -1;
    if (age < ANNOUNCEDELAY)
        return (int)(ANNOUNCEDELAY - age);
    if ((int32_t)(p->checkat - now) > 0)
        return (int)(p->checkat - now);
    uint32_t had = hadms(p->pid, age);
    if (had < ANNOUNCEDELAY) {
        uint32_t again = ANNOUNCEDELAY - had > age / 4 ? ANNOUNCEDELAY - had : age / 4;
        p->checkat = now + again;
        return (int)again;
    }
    // Events not read yet may hold its exec, made in time: one more read first.
    if (!p->due || (int32_t)(eventsread - p->dueat) < 0) {
        p->due = true;
        p->dueat = now;
        return 0;
    }
    announce(p); // it has not exec'd, forked or ended yet: it runs what it inherited
    return -1;
}

// Those still waiting for their time keep their place in the queue: the oldest first.
int announcedue(void)
{
    uint32_t now = nowms();
    size_t kept = 0, count = unannouncedcount;
    int wait = -1;
    for (size_t i = 0; i < count; i++) {
        proc *p = unannounced[(unannouncedhead + i) % unannouncedsize];
        int left = dueleft(p, now);
        if (left < 0) {
            releaseproc(p);
            continue;
        }
        unannounced[(unannouncedhead + kept++) % unannouncedsize] = p;
        wait = wait < 0 || left < wait ? left : wait;
    }
    unannouncedcount = kept;
    return wait;
}

proc *procforked(proc *parent, DWORD pid, image *img)
{
    if (parent)
        announce(parent); // a creator's packet comes before its child's
    proc *child = newproc(pid);
    if (!child) {
        dropimage(img);
        return nullptr;
    }
    child->current = img ? img : parent ? keepimage(parent->current) : nullptr;
    // Only a process of the job is followed, so a child whose creator is unknown is in it.
    child->injob = parent ? parent->injob : true;
    child->creator = parent ? parent->pid : 0;
    child->created = nowms();
    enqueue(child);
    return child;
}

void procforking(proc *p)
{
    announce(p);
}

void procforkedat(proc *p, uint64_t ns)
{
    p->startns = ns;
}

void proccreator(proc *p, DWORD pid)
{
    p->creator = pid;
}

void procendedat(proc *p, uint64_t ns)
{
    p->endns = ns;
}

void procusage(proc *p, uint64_t userns, uint64_t systemns, uint64_t maxrsskb)
{
    p->userns = userns;
    p->systemns = systemns;
    p->maxrsskb = maxrsskb;
}

void procexeced(proc *p, image *img)
{
    if (!p->alive) {
        dropimage(img);
        return;
    }
    dropimage(p->current);
    p->current = img; // a program that could not be read is not the one it ran before
    announce(p);
}

// A signal's death is abnormal (a crash) when its default action dumps core.
static bool dumpscore(int sig)
{
    switch (sig) {
    case SIGABRT:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGQUIT:
    case SIGSEGV:
    case SIGSYS:
    case SIGTRAP:
    case SIGXCPU:
    case SIGXFSZ:
        return true;
    }
    return false;
}

// Signal N gives 128+N, as a shell reports it. TerminateProcess's code wins, as a normal
// end, as on Windows.
void procended(proc *p, int status)
{
    if (!p->alive)
        return;
    DWORD code;
    bool abnormal = false;
    if (status == UNKNOWNSTATUS) {
        code = 0xffffffffu;
    } else if (WIFEXITED(status)) {
        code = (DWORD)WEXITSTATUS(status);
    } else {
        code = 128 + (DWORD)WTERMSIG(status);
        abnormal = dumpscore(WTERMSIG(status));
    }
    if (p->terminated) {
        code = p->exitcode;
        abnormal = false;
    }
    announce(p); // it ended before its first exec or fork: it ran what it inherited
    p->alive = false;
    p->exitcode = code;
    p->signal = status != UNKNOWNSTATUS && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    p->codeunknown = status == UNKNOWNSTATUS && !p->terminated;
    if (!p->endns)
        p->endns = nowns();
    if (p->handles) {
        p->handles->alive = false;
        p->handles->exitcode = code;
    }
    postpacket(abnormal ? JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS : JOB_OBJECT_MSG_EXIT_PROCESS,
               p);
}
