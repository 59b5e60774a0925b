// What the files of the eBPF tracker share among themselves.
#pragma once

#include "../tracker.h"

// watch.cpp
// The root, forked, is to be held stopped from its exec until it is let go: from now on, if
// dorvane ends first, a watch continues it. False, with errno set, if the watch cannot start.
bool startwatch(pid_t root);
// The root runs, or will never run: the watch ends. Nothing if none runs.
void endwatch(void);
