// The one interface between the records (processes, the job and its port) and a tracker:
// what follows the tree in the kernel and turns its events into the job's packets. There
// are two, side by side: ptrace/ and ebpf/. The job picks one when it is created.
#pragma once

#include "records.h"

struct tracker {
    // Makes the tracker ready to follow a tree; false, with the last error set, if it
    // cannot run here.
    bool (*load)(void);
    // The root has been forked and waits, before its exec, to be let go: false, with errno
    // set, if it cannot be followed.
    bool (*seize)(pid_t pid);
    // After the root's fork: what dorvane changes in itself that the root must not inherit.
    void (*forked)(void);
    // The root has been let go: returns 0 once it stands stopped after its exec, before its
    // first instruction, or the errno that failed the exec.
    int (*awaitexec)(pid_t pid, int errfd);
    // The root's process record, before it joins the job; false without memory.
    bool (*adopt)(proc *root);
    // AssignProcessToJobObject: from now on the root's descendants are followed.
    bool (*follow)(proc *root);
    // ResumeThread: the root runs; false, with the last error set, if it cannot.
    bool (*resume)(proc *root);
    // Waits up to timeoutms (-1: without limit) for the tree's next events and handles
    // them, posting their packets. False once no process of the tree is left.
    bool (*events)(int timeoutms);
};

extern const tracker ptracetracker;
extern const tracker ebpftracker;
// The tracker of this run, chosen by CreateJobObjectW.
extern const tracker *tracking;
// Chooses it: the one DORVANE_TRACKER names (ebpf or ptrace), or else the eBPF tracker if
// it can load and the ptrace tracker if not. False, with the last error set, if the one
// named cannot run here or the name is none of the two.
bool choosetracker(void);

// Shared by both trackers.
// A process's end, from its wait status: 128+N for signal N, a crash for the signals whose
// default action dumps core, the code TerminateProcess gave if it ended the process.
void endproc(proc *p, int status);
