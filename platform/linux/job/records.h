// The records behind the Linux handles, shared by the files of the job: processes, their
// programs and the root's thread. The core and the trackers see none of their fields.
#pragma once

#include "../tracker.h"

// An absolute program path in bytes, shared by a process and the children that inherit it
// by fork, so a fork costs no copy of it.
struct image {
    unsigned refs;
    bool toolong; // only known to be too long to tell: its path is empty
    char *args;   // the arguments of the exec that ran it, a NUL after each; null if unknown
    size_t argslength;
    char path[];
};

// What OpenProcess hands the core for a process: its exit code once it has ended. The
// core's table holds one for every process of the run, to the run's end, so it keeps nothing
// else; the process's own record goes once its end has been reported.
struct opened {
    handlekind kind; // KINDOPENED
    bool alive;      // its end has not been reported yet
    unsigned refs;   // its handles, and its process's record while that lives
    DWORD exitcode;  // valid once it has ended
};

// A process as the trackers, its packets and the root's creation handles see it. It lives
// while one of them refers to it, so its exit code stays readable after the process has
// ended and its pid has gone to another.
struct proc {
    handlekind kind;  // KINDPROCESS
    bool alive;       // its end has not been reported yet
    bool announced;   // its new-process packet has been queued
    bool injob;       // in the job: its packets are posted
    bool suspended;   // stopped at its first instruction until ResumeThread
    bool terminated;  // ended by TerminateProcess: exitcode holds the code it was given
    bool codeunknown; // ended without a status the tracker could keep: exitcode is all ones
    unsigned refs;    // handles, queued packets, the tracker and the announcement queue
    DWORD pid;        // its pid, also after it has gone to another process
    DWORD exitcode;   // valid once it has ended
    bool due;         // found past its deadline: announced after the next read of events
    uint32_t created; // when it started, in ms
    uint32_t dueat;   // when it was found past its deadline
    uint32_t checkat; // when to ask again whether it has had its time
    image *current;   // the program it runs, inherited by its children, reported late or not
    image *shown;     // the program its new-process packet names, until that is handled
    opened *handles;  // what the core has opened of it, if it has
    // What the run's record asks of it (info.cpp).
    uint64_t startns, endns;             // when it started, and ended, on the monotonic clock
    DWORD creator;                       // its creator's pid; 0 if unknown
    int signal;                          // that ended it; 0 if none
    uint64_t userns, systemns, maxrsskb; // its use of the machine; UNKNOWNUSE if unknown
};

// The thread of a handle from CreateProcessW: only the root's main thread ever has one.
struct thread {
    handlekind kind; // KINDTHREAD
    proc *process;
};

// records.cpp
// A process just created, by dorvane itself unless a tracker tells its creator.
proc *newproc(DWORD pid);
// The monotonic clock, in ns, of the trackers' times.
uint64_t nowns(void);
proc *asproc(HANDLE handle);
opened *asopened(HANDLE handle);
// What the core opens of the process: one record however often it does; null without
// memory.
opened *openproc(proc *p);
void closeopened(opened *o);
// The pid under which /proc shows a task of dorvane's namespace; 0 if it does not.
pid_t procpid(pid_t pid);
// Queues the process's new-process packet, naming the program it runs now, unless it has
// been queued already or the process is not in the job (yet).
void announce(proc *p);
// Announces the processes whose time has come; returns the ms until the next is due, or -1.
int announcedue(void);

// info.cpp
// The process a handle stands for while the core may ask of it: the root's through its
// creation handle, any other's through an opened one while its packet is being handled.
proc *handleproc(HANDLE handle);

// job.cpp
// Queues a packet for the process (or for the job, with null) on the job's port, if the
// process is in the job; false if it is not, or without memory.
bool postpacket(DWORD message, proc *p);
// The process of the packet dequeued last, if it has this pid: the one a handler of that
// packet means, even when the pid has since been reused.
proc *packetproc(DWORD pid);
// The process of the packet dequeued last, if the core has opened it as o.
proc *openedpacketproc(const opened *o);
// Whether the process's new-process packet still waits in the port: if so, the job resumes
// it once that packet has been handled and its lines are written out.
bool resumeafterannounce(proc *p);

// jobcontrol.cpp
// What a stop signal (Ctrl-Z) that dorvane waits to stop by asks of the job: called at every
// turn of its loop, it looks at dorvane's programs, stops dorvane once they have stopped, and
// returns the ms until it is to be called again, or -1.
int jobcontroldue(void);
// Sends sig to every process of the tree.
void signaltree(int sig);

// capabilities.cpp: under the capability install; each false with the last error set.
// Keeps dorvane non-dumpable while it holds any capability.
bool guardprivilege(void);
// Drops every capability and checks that none is left; then, if asked, makes dorvane
// dumpable again: a child forked from it inherits that, and one that is not dumpable
// cannot be seized.
bool dropprivilege(bool dumpable);
// Takes the environment dorvane was given, if a secure exec scrubbed its own.
bool keepenvironment(void);
// The environment the programs start with: the one dorvane was given.
char **programenvironment(void);

// choose.cpp
// Chooses this run's tracker: the one DORVANE_TRACKER names (ebpf or ptrace), or else the
// eBPF tracker if it can load and the ptrace tracker if not. False, with the last error set,
// if the one named cannot run here or the name is none of the two.
bool choosetracker(void);
