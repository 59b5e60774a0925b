// The records behind the Linux handles and the traced tree, shared by the files that
// implement the process, job and port services. The core never sees this.
#pragma once

#include "linux.h"

#include <stdint.h>
#include <sys/types.h>

// First byte of every record that a HANDLE points to: what the handle is. The values start
// well above zero, so that a zeroed or freed record does not pass for a handle.
enum handlekind : unsigned char { KINDHEAP = 0x5a, KINDJOB, KINDPORT, KINDPROCESS, KINDTHREAD };

// An absolute program path in bytes, shared by a process and the children that inherit it
// by fork, so a fork costs no copy of it.
struct image {
    unsigned refs;
    char path[];
};

// A process as its handles and packets see it. It lives while a handle, a queued packet
// or one of its tasks refers to it, so its exit code stays readable after the process has
// ended and its pid has gone to another. Kept small: the core holds one per process ever.
struct proc {
    handlekind kind;  // KINDPROCESS
    bool alive;       // its end has not been seen yet
    bool announced;   // its new-process packet has been queued
    bool injob;       // in the job: its packets are posted
    bool suspended;   // stopped at its first instruction until ResumeThread
    bool terminated;  // ended by TerminateProcess: exitcode holds the code it was given
    bool threaded;    // has had more than one thread: an exec may come from another
    unsigned refs;    // handles, queued packets and live tasks
    DWORD pid;        // its pid, also after it has gone to another process
    DWORD exitcode;   // valid once it has ended
    uint32_t created; // when first seen, in ms: announced 20 ms after at the latest
    image *current;   // the program it runs, inherited by its children; dropped at its end
    image *shown;     // the program its new-process packet names, until that is handled
};

// The thread of a handle from CreateProcessW: only the root's main thread ever has one.
struct thread {
    handlekind kind; // KINDTHREAD
    proc *process;
};

// One traced thread. A process's leader has the process's pid as tid.
enum taskstate : unsigned char {
    TASKNEW,     // named by its creator's event; its first stop is still to come
    TASKRUNNING, // seen and claimed
    TASKHELD,    // stopped at its first stop, its creator's event not seen yet
    TASKDEAD,    // ended before its creator's event named it
};

struct task {
    task *next;    // next in its hash bucket
    proc *process; // null while unclaimed (TASKHELD, TASKDEAD)
    pid_t tid;
    uint64_t id;    // the eBPF tracker's id of its process, unique where pids are reused
    int status;     // wait status that a HELD or DEAD task came with
    uint32_t since; // when a HELD or DEAD task came, in ms
    taskstate state;
};

// heap.cpp and handles.cpp
proc *newproc(DWORD pid);
void holdproc(proc *p);
void releaseproc(proc *p);
proc *asproc(HANDLE handle);
image *readimage(pid_t pid);
image *keepimage(image *img);
void dropimage(image *img);

// job.cpp
// Queues a packet for the process (or for the job, with null) on the job's port, if the
// process is in the job.
void postpacket(DWORD message, proc *p);
// Queues a process's new-process packet once, naming the program it runs now.
void announce(proc *p);
// A new process of the job, created by parent (null if unknown); it runs its creator's
// program until it execs, and is announced when it first execs, forks or ends, or
// ANNOUNCEDELAY ms after now, whichever comes first. Null without memory.
proc *childproc(proc *parent, DWORD pid);
// Announces the children whose time has come; returns the ms until the next is due, or -1.
int announcedue(void);
// A clock in ms for those delays; it wraps, so only differences mean anything.
uint32_t nowms(void);
#define ANNOUNCEDELAY 20
// The process of the packet dequeued last, if it has this pid: the one a handler of that
// packet means, even when the pid has since been reused.
proc *packetproc(DWORD pid);

// tasks.cpp
task *findtask(pid_t tid);
// The task after t in the table, in no particular order; the first with null.
task *nexttask(task *t);
// A new task record, holding a reference on its process if it has one; null without memory.
task *addtask(pid_t tid, proc *p);
void removetask(task *t);
