// What the files of the ptrace tracker share among themselves.
#pragma once

#include "../tracker.h"

// trace.cpp
// Lets a stopped task go on from the stop that its wait status describes.
void resume(pid_t tid, int status);
// Waits up to timeoutms (-1: without limit) for the tree's next events and handles them,
// one wait and then all that are ready. False once no traced process is left.
bool traceevents(int timeoutms);

// detach.cpp
// From the root's start on: a terminating signal that reaches dorvane first lets the whole
// tree go, passing on the signals its tasks are stopped for, then ends dorvane by that
// signal. SIGCHLD stays blocked, for traceevents' timed wait.
void guardtree(void);
// While the task table changes, a terminating signal waits: closed, then open again.
void closeguard(void);
void openguard(void);
