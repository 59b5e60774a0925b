// The job and its completion port: the job is the traced tree, once its root has been
// assigned; the port is a queue of packets that GetQueuedCompletionStatus fills by
// driving the tree's events itself, on the one thread, blocking in the kernel's wait.
#include "tracker.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

// A completion packet: message, and the process whose pid goes in the overlapped slot
// (null for the job's own messages). The packet holds a reference on the process.
struct packet {
    DWORD message;
    proc *process;
};

// A queue of packets, in a ring that grows as needed.
struct port {
    handlekind kind; // KINDPORT
    packet *ring;
    size_t head, count, size;
};

struct job {
    handlekind kind; // KINDJOB
    port *queue;     // bound by SetInformationJobObject
    ULONG_PTR key;
    bool drained; // no process left: the last packet has been posted
};

// The job that holds the traced tree: the one the root was assigned to.
static job *treejob;
// The process of the packet dequeued last; held until the next dequeue, so the handler of
// that packet can open it by pid.
static proc *lastproc;
// Children not announced when they were created, oldest first, each held: a ring that
// grows as needed. Most leave at once by their exec; the rest are announced when due.
static proc **unannounced;
static size_t unannouncedhead, unannouncedcount, unannouncedsize;

HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES, LPCWSTR)
{
    if (!choosetracker())
        return nullptr;
    job *j = (job *)calloc(1, sizeof(job));
    if (!j) {
        setlasterror(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    j->kind = KINDJOB;
    return j;
}

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing, ULONG_PTR, DWORD)
{
    if (file != INVALID_HANDLE_VALUE || existing) {
        setlasterror(ERROR_NOT_SUPPORTED); // there are no files to bind here
        return nullptr;
    }
    port *q = (port *)calloc(1, sizeof(port));
    if (!q) {
        setlasterror(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    q->kind = KINDPORT;
    return q;
}

static job *asjob(HANDLE handle)
{
    job *j = (job *)handle;
    return j && handle != INVALID_HANDLE_VALUE && j->kind == KINDJOB ? j : nullptr;
}

static port *asport(HANDLE handle)
{
    port *q = (port *)handle;
    return q && handle != INVALID_HANDLE_VALUE && q->kind == KINDPORT ? q : nullptr;
}

BOOL SetInformationJobObject(HANDLE handle, JOBOBJECTINFOCLASS infoclass, LPVOID info,
                             DWORD length)
{
    job *j = asjob(handle);
    if (!j) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT *association =
        (JOBOBJECT_ASSOCIATE_COMPLETION_PORT *)info;
    if (infoclass != JobObjectAssociateCompletionPortInformation || !info ||
        length != sizeof *association) {
        setlasterror(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    port *q = asport(association->CompletionPort);
    if (!q) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    j->queue = q;
    j->key = (ULONG_PTR)association->CompletionKey;
    return TRUE;
}

static bool push(port *q, packet p)
{
    if (q->count == q->size) {
        size_t size = q->size ? 2 * q->size : 64;
        packet *ring = (packet *)malloc(size * sizeof(packet));
        if (!ring)
            return false;
        for (size_t i = 0; i < q->count; i++)
            ring[i] = q->ring[(q->head + i) % q->size];
        free(q->ring);
        q->ring = ring;
        q->head = 0;
        q->size = size;
    }
    q->ring[(q->head + q->count++) % q->size] = p;
    return true;
}

void postpacket(DWORD message, proc *p)
{
    if (!treejob || !treejob->queue || (p && !p->injob))
        return;
    if (push(treejob->queue, {message, p}) && p)
        holdproc(p);
}

void announce(proc *p)
{
    if (p->announced)
        return;
    p->announced = true;
    p->shown = keepimage(p->current);
    postpacket(JOB_OBJECT_MSG_NEW_PROCESS, p);
}

uint32_t nowms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)now.tv_sec * 1000u + (uint32_t)(now.tv_nsec / 1000000);
}

proc *childproc(proc *parent, DWORD pid)
{
    proc *child = newproc(pid);
    if (!child)
        return nullptr;
    child->current = parent ? keepimage(parent->current) : nullptr;
    // Only a process of the job is followed, so a child whose creator is unknown is in it.
    child->injob = parent ? parent->injob : true;
    child->created = nowms();
    if (unannouncedcount == unannouncedsize) {
        size_t size = unannouncedsize ? 2 * unannouncedsize : 64;
        proc **ring = (proc **)malloc(size * sizeof(proc *));
        if (!ring)
            return child; // announced by its exec, fork or end only
        for (size_t i = 0; i < unannouncedcount; i++)
            ring[i] = unannounced[(unannouncedhead + i) % unannouncedsize];
        free(unannounced);
        unannounced = ring;
        unannouncedhead = 0;
        unannouncedsize = size;
    }
    unannounced[(unannouncedhead + unannouncedcount++) % unannouncedsize] = child;
    holdproc(child);
    return child;
}

int announcedue(void)
{
    uint32_t now = nowms();
    while (unannouncedcount) {
        proc *p = unannounced[unannouncedhead];
        uint32_t age = now - p->created;
        if (!p->announced && age < ANNOUNCEDELAY)
            return (int)(ANNOUNCEDELAY - age);
        announce(p); // it has not exec'd, forked or ended yet: it runs what it inherited
        unannouncedhead = (unannouncedhead + 1) % unannouncedsize;
        unannouncedcount--;
        releaseproc(p);
    }
    return -1;
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

void endproc(proc *p, int status)
{
    DWORD code;
    bool abnormal = false;
    if (WIFEXITED(status)) {
        code = (DWORD)WEXITSTATUS(status);
    } else {
        code = 128 + (DWORD)WTERMSIG(status);
        abnormal = dumpscore(WTERMSIG(status));
    }
    if (p->terminated) { // as on Windows: the code TerminateProcess was given, a normal end
        code = p->exitcode;
        abnormal = false;
    }
    announce(p); // it ended before its first exec or fork: it ran what it inherited
    p->alive = false;
    p->exitcode = code;
    dropimage(p->current);
    p->current = nullptr;
    postpacket(abnormal ? JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS : JOB_OBJECT_MSG_EXIT_PROCESS,
               p);
}

proc *packetproc(DWORD pid)
{
    return lastproc && lastproc->pid == pid ? lastproc : nullptr;
}

BOOL AssignProcessToJobObject(HANDLE jobhandle, HANDLE process)
{
    job *j = asjob(jobhandle);
    proc *p = asproc(process);
    if (!j || !p) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // One tree per run: a process already in it, or one that has ended, cannot join.
    if ((treejob && treejob != j) || p->injob || !p->alive) {
        setlasterror(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!tracking->follow(p))
        return FALSE;
    treejob = j;
    p->injob = true;
    announce(p);
    return TRUE;
}

// Forgets the packet handled last: its process's handler is done with it.
static void retirelast(void)
{
    if (!lastproc)
        return;
    dropimage(lastproc->shown);
    lastproc->shown = nullptr;
    releaseproc(lastproc);
    lastproc = nullptr;
}

BOOL GetQueuedCompletionStatus(HANDLE handle, LPDWORD message, PULONG_PTR key,
                               LPOVERLAPPED *overlapped, DWORD)
{
    port *q = asport(handle);
    if (!q) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    retirelast();
    while (q->count == 0) {
        // Nothing can arrive any more: waiting forever would hang the caller.
        if (!treejob || treejob->queue != q || treejob->drained) {
            *overlapped = nullptr;
            setlasterror(ERROR_ABANDONED_WAIT_0);
            return FALSE;
        }
        int wait = announcedue();
        if (q->count)
            break;
        if (!tracking->events(wait)) {
            treejob->drained = true;
            postpacket(JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, nullptr);
        }
    }
    packet p = q->ring[q->head];
    q->head = (q->head + 1) % q->size;
    q->count--;
    lastproc = p.process;
    *message = p.message;
    *key = treejob->key;
    *overlapped = (LPOVERLAPPED)(ULONG_PTR)(p.process ? p.process->pid : 0);
    return TRUE;
}
