// The seam inside the Linux platform, both ways: between the job (job/: processes as their
// handles and packets see them, the job and its port) and a tracker, which follows the tree
// in the kernel and tells the job what it sees. The trackers sit beside job/, each in its
// own folder (ptrace/, ebpf/); a third would be one more folder, implementing the first half
// below and named in job/choose.cpp.
#pragma once

#include "base/linux.h"

#include <stdint.h>
#include <sys/types.h>

// A process as the job records it, and a program path that processes share. A tracker
// holds them, hands them back, and never looks inside.
struct proc;
struct image;

// What the job asks of a tracker.
struct tracker {
    // Makes the tracker ready to follow a tree; false, with the last error set, if it
    // cannot run here.
    bool (*load)(void);
    // The root has been forked and waits, before its exec, to be let go: false, with errno
    // set, if it cannot be followed.
    bool (*seize)(pid_t pid);
    // After the root's fork: what dorvane changes in itself that the root must not inherit.
    void (*afterfork)(void);
    // The root has been let go: returns 0 once it stands stopped after its exec, before its
    // first instruction, or the errno that failed the exec.
    int (*awaitexec)(pid_t pid, int errfd);
    // The root's process, stopped after its exec, before it joins the job: the tracker takes
    // a reference to it and reports it from now on. False without memory.
    bool (*adopt)(proc *root, pid_t pid);
    // AssignProcessToJobObject: from now on the root's descendants are followed.
    bool (*follow)(pid_t root);
    // ResumeThread: the root runs; false, with the last error set, if it cannot.
    bool (*resume)(pid_t root);
    // Waits up to timeoutms (-1: without limit) for the tree's next events and reports them
    // below. False once no process of the tree is left.
    bool (*events)(int timeoutms);
    // Calls each with the pid of every process of the tree that has not ended, and whether
    // it is stopped by a stop signal (Ctrl-Z): 1 or 0 where the tracker knows, else -1.
    void (*eachprocess)(void (*each)(pid_t pid, int stopped));
};

extern const tracker ptracetracker;
extern const tracker ebpftracker;
// The tracker of this run, chosen when the job is created.
extern const tracker *tracking;

// What a tracker tells the job: a process forked, exec'd, ended. The job keeps the rules
// that every tracker needs: a process is announced (its new-process packet) once, after its
// creator, at its first fork, exec or end, or once it has had ANNOUNCEDELAY ms to exec in
// and has not, whichever comes first, and named by the program it runs then. Only time it
// had counts: time it waited for a CPU does not, nor, while it is runnable, any time but
// its time on one. So a child the machine keeps from running, however long, has not had its
// chance to exec, and is not taken for one that runs its creator's program. Past its
// deadline it is announced only after a read of the tree's events that began past it, which
// would have told an exec made in time.
#define ANNOUNCEDELAY 20

// The tracker begins to read the tree's events.
void readingevents(void);

// A new process of the tree, pid, created by parent (null: a creator the tracker cannot
// name), running img (null: its creator's program) until it execs. Returns it with a
// reference for the tracker; null without memory, and then it goes unreported.
proc *procforked(proc *parent, DWORD pid, image *img);
// When the process started, in nowms()'s clock, for a tracker that learns of it late:
// otherwise its start is taken to be when it was reported.
void procstarted(proc *p, uint32_t ms);
// The process has forked a child, which the tracker learns of only after later changes of
// the process: it is announced now, named by the program it runs now, as that fork would
// have announced it.
void procforking(proc *p);
// The process now runs img; null: a program that could not be read, and its name cannot
// be told.
void procexeced(proc *p, image *img);
// The process has ended with this wait status (waitpid's), or UNKNOWNSTATUS.
void procended(proc *p, int status);
// An end whose status no tracker could learn: its code reads as all ones, never success.
#define UNKNOWNSTATUS (-1)
void holdproc(proc *p);
void releaseproc(proc *p);

// What the run's record (--json, --trace, --summary) takes of a process beyond the lines:
// each a tracker tells where it can, and what none tells is unknown (null in the record).
// A tracker gathers what costs it something (arguments, usage) only if recordasked().
// Times are ns of the monotonic clock (CLOCK_MONOTONIC, which bpf_ktime_get_ns reads too),
// as nowns() gives them.
// When the process started, after procforked: by default, when procforked was called.
void procforkedat(proc *p, uint64_t ns);
// Its creator's pid, for a creator that the tracker knows by its pid alone: procforked's
// parent gives it otherwise, and dorvane is the root's.
void proccreator(proc *p, DWORD pid);
// The arguments of the exec that runs img, as the program got them: what
// /proc/PID/cmdline shows at the exec (for a script, its interpreter and the script
// first), length bytes with a NUL after each. Attached before procexeced(p, img), they go
// with img to the children that inherit it. False without memory.
bool imageargs(image *img, const char *args, size_t length);
// imageargs from /proc, for a live task stopped at or after its exec; false if it cannot.
bool readargs(image *img, pid_t pid);
// When it ended, before procended: by default, when procended is called.
void procendedat(proc *p, uint64_t ns);
// Its CPU time and peak resident memory as wait4's rusage tells its parent: its own, all
// its threads', and those of the children it waited for. Before procended; each
// UNKNOWNUSE where the tracker cannot tell it.
void procusage(proc *p, uint64_t userns, uint64_t systemns, uint64_t maxrsskb);
#define UNKNOWNUSE UINT64_MAX

// A program path as the job keeps it; null without memory.
image *makeimage(const char *path, size_t length);
// One reference more to img (null stays null), and one fewer.
image *keepimage(image *img);
void dropimage(image *img);
// A program whose path is only known to be longer than can be told: its name fails to be
// read as one too long for the buffer does. Null without memory.
image *toolongimage(void);
// A small file read whole into text, NUL-terminated: its length, or -1 with errno.
ssize_t readsmall(const char *path, char *text, size_t size);
// The program a live task runs, from /proc; null if it cannot be read.
image *readimage(pid_t pid);
// Whether /proc is of dorvane's own pid namespace. Another's shows other processes under
// dorvane's pids, and its own pids in what it tells.
bool ownproc(void);
// A clock in ms for the trackers' delays; it wraps, so only differences mean anything.
uint32_t nowms(void);
