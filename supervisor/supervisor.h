// The job supervisor: one run of the root program inside a job, the table of process
// handles, and the handlers of the job's per-process notifications.
#pragma once

#include "../frontend/frontend.h"

// One entry of the process table, a binary search tree keyed by a mix of the pid (so that
// rising pids do not make a chain of it) that is never rebalanced and never shrinks.
struct procnode {
    DWORD pid;
    HANDLE handle; // for rootproc the creation handle, else one opened for query
    procnode *left;
    procnode *right;
};

extern procnode rootproc; // the root program's entry; root of the tree for the whole run

DWORD runexe(wchar_t *commandline);

void insertproc(DWORD pid, HANDLE handle);
procnode *findproc(DWORD pid);

void onnewproc(DWORD pid);
void onexitproc(DWORD pid, bool abnormal);
