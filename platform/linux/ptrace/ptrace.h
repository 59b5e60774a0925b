// What the files of the ptrace tracker share among themselves.
#pragma once

#include "../base/pidtable.h"
#include "../tracker.h"

// A traced thread. It may come before its creator's event names it (held or dead), and
// only that event tells whether it is a thread or a new process.
enum taskstate : unsigned char {
    TASKNEW,      // named by its creator's event; its first stop is still to come
    TASKRUNNING,  // seen and claimed
    TASKHELD,     // stopped at its first stop, its creator's event not seen yet
    TASKDEAD,     // ended before its creator's event named it, or let go
    TASKUNNAMED,  // claimed from /proc while held; its creator's event is still to come
    TASKNAMELESS, // ended so, its creator's event still to come: that event is no news
};

struct task {
    pidentry entry; // by tid
    proc *process;  // held; null while unclaimed (TASKHELD, TASKDEAD) and once TASKNAMELESS
    pid_t tgid;     // its process's pid, once claimed: the leader's tid
    int status;     // wait status that a HELD or DEAD task came with
    uint32_t since; // when a HELD or DEAD task came, in ms
    taskstate state;
    bool stopped; // in a group-stop (Ctrl-Z), held there with PTRACE_LISTEN
};

// trace.cpp
// Every traced thread, by tid.
extern pidtable tasks;
task *findtask(pid_t tid);
// A new task, holding a reference to its process if it has one; null without memory.
task *addtask(pid_t tid, proc *p, pid_t tgid);
// Lets a stopped task go on from the stop that its wait status describes.
void restart(pid_t tid, int status);
// Waits up to timeoutms (-1: without limit) for the tree's next events and handles them,
// one wait and then all that are ready. False once no traced process is left.
bool traceevents(int timeoutms);
// Every traced process, with whether it is in a group-stop.
void eachtraced(void (*each)(pid_t pid, int stopped));

// detach.cpp
// From the root's start on: a signal that ends dorvane first lets the whole tree go,
// passing on the signals its tasks are stopped for. SIGCHLD stays blocked, for
// traceevents' timed wait. While the task table changes, such a signal waits (closeguard).
void guardtree(void);
