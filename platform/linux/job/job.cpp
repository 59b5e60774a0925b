// The job and its completion port: the job is the followed tree, once its root has been
// assigned; the port is a queue of packets that GetQueuedCompletionStatus fills by asking
// the tracker for the tree's events, on the one thread, blocking in the kernel's wait.
#include "records.h"

#include <errno.h>
#include <stdlib.h>

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
// The root, resumed while its new-process packet waited in the port: it is let run once
// that packet has been handled and its lines written out, so that its own output (on the
// same terminal or pipe) comes after them. Held; and whether the packet has been dequeued.
static proc *resumelater;
static bool resumedue;

HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES, LPCWSTR)
{
    if (!choosetracker()) {
        sayerror();
        return nullptr;
    }
    job *j = (job *)calloc(1, sizeof(job));
    if (!j) {
        setlasterror(noteerror("calloc", ENOMEM, nullptr));
        sayerror();
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
        setlasterror(noteerror("calloc", ENOMEM, nullptr));
        sayerror();
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

bool postpacket(DWORD message, proc *p)
{
    if (!treejob || !treejob->queue || (p && !p->injob) || !push(treejob->queue, {message, p}))
        return false;
    if (p)
        holdproc(p);
    return true;
}

bool resumeafterannounce(proc *p)
{
    port *q = treejob ? treejob->queue : nullptr;
    for (size_t i = 0; q && i < q->count && !resumelater; i++) {
        packet *k = &q->ring[(q->head + i) % q->size];
        if (k->process == p && k->message == JOB_OBJECT_MSG_NEW_PROCESS) {
            resumelater = p;
            holdproc(p);
        }
    }
    return resumelater == p;
}

// A resume that fails here finds the root gone (killed while it waited): its end comes as
// any end does.
static void resumeshown(void)
{
    writequeued();
    if (tracking->resume((pid_t)resumelater->pid))
        resumelater->suspended = false;
    forgeterror();
    releaseproc(resumelater);
    resumelater = nullptr;
    resumedue = false;
}

static int sooner(int ms, int otherms)
{
    return ms < 0 || (otherms >= 0 && otherms < ms) ? otherms : ms;
}

proc *packetproc(DWORD pid)
{
    return lastproc && lastproc->pid == pid ? lastproc : nullptr;
}

proc *openedpacketproc(const opened *o)
{
    return lastproc && lastproc->handles == o ? lastproc : nullptr;
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
    if (!tracking->follow((pid_t)p->pid)) {
        sayerror();
        return FALSE;
    }
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
    if (resumedue)
        resumeshown();
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
        // The lines of what was handled go out while dorvane waits, or soon after.
        int flush = wait != 0 ? flushoutput() : -1;
        int passing = takepassing();
        bool more =
            tracking->events(passing ? 0 : sooner(sooner(wait, flush), jobcontroldue()));
        // That read began after the signal came: every process forked before it is known.
        if (passing)
            signaltree(passing);
        if (!more) {
            treejob->drained = true;
            postpacket(JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO, nullptr);
        }
    }
    packet p = q->ring[q->head];
    q->head = (q->head + 1) % q->size;
    q->count--;
    lastproc = p.process;
    resumedue =
        resumelater && p.process == resumelater && p.message == JOB_OBJECT_MSG_NEW_PROCESS;
    *message = p.message;
    *key = treejob->key;
    *overlapped = (LPOVERLAPPED)(ULONG_PTR)(p.process ? p.process->pid : 0);
    return TRUE;
}
