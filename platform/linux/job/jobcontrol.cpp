// The tree and its terminal, under either tracker. Ctrl-Z stops the whole foreground process
// group: dorvane and the programs of the tree in it. The shell takes the terminal back once
// its job, dorvane, has stopped; so dorvane stops only once those programs have stopped or
// ended (an editor restores the screen first, and under ptrace it can only run its handler
// while dorvane runs). One that had not stopped by then, and stops after the shell's
// continue (fg, bg), is continued: the shell takes the job for running. And as pid 1 of a
// pid namespace, a first terminating signal is passed on to the tree (base/signals.cpp keeps
// it for the job).
#include "records.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// How long dorvane waits for its programs to stop before it stops all the same (one takes
// SIGTSTP and goes on, or the signal was sent to dorvane alone), and how often it looks
// meanwhile; how long after its continue it watches those that had not stopped.
#define STOPWAIT 1000
#define STOPLOOK 10
#define LAGWATCH 10000

struct pidlist {
    pid_t *pids;
    size_t count, size;
};

// The processes of dorvane's group that ran at the last look, and how many (all of them,
// should the list lack the memory).
static pidlist running;
static size_t runners;
// Those that still ran when dorvane stopped, sorted: watched after its continue.
static pidlist lagging;
// A stop signal waits for dorvane's programs: since when; when dorvane was continued; and
// when the processes were looked at last.
static bool stopping;
static uint32_t stopseen, continued, lookedat;
// The signal passed on to the tree, for the walk over it.
static int passing;

static void add(pidlist *l, pid_t pid)
{
    if (l->count == l->size) {
        size_t size = l->size ? 2 * l->size : 16;
        pid_t *grown = (pid_t *)realloc(l->pids, size * sizeof(pid_t));
        if (!grown)
            return;
        l->pids = grown;
        l->size = size;
    }
    l->pids[l->count++] = pid;
}

static int bypid(const void *a, const void *b)
{
    pid_t x = *(const pid_t *)a, y = *(const pid_t *)b;
    return x < y ? -1 : x > y;
}

// 'R' for a process that runs, 'T' for one stopped, 'Z' for one that has ended: as its
// tracker knows it, or as /proc shows it (t: held by a debugger). One that /proc cannot tell
// of is taken as ended: dorvane neither waits for it nor continues it.
static char stateof(pid_t pid, int stopped)
{
    if (stopped >= 0)
        return stopped ? 'T' : 'R';
    char path[40], stat[512];
    pid_t shown = procpid(pid);
    snprintf(path, sizeof path, "/proc/%d/stat", (int)shown);
    if (!shown || readsmall(path, stat, sizeof stat) <= 0)
        return 'Z';
    const char *state = strrchr(stat, ')'); // the name before it may hold anything
    if (!state || state[1] != ' ' || !state[2])
        return 'Z';
    return state[2] == 'Z' || state[2] == 'X'   ? 'Z'
           : state[2] == 'T' || state[2] == 't' ? 'T'
                                                : 'R';
}

static bool ingroup(pid_t pid)
{
    return getpgid(pid) == getpgrp();
}

static void look(pid_t pid, int stopped)
{
    if (ingroup(pid) && stateof(pid, stopped) == 'R') {
        runners++;
        add(&running, pid);
    }
}

// A laggard that has stopped now is continued; one that still runs stays watched.
static void watch(pid_t pid, int stopped)
{
    if (!bsearch(&pid, lagging.pids, lagging.count, sizeof(pid_t), bypid) || !ingroup(pid))
        return;
    char state = stateof(pid, stopped);
    if (state == 'T')
        kill(pid, SIGCONT);
    else if (state == 'R')
        add(&running, pid);
}

// The list of those that ran becomes the sorted list of laggards.
static void keeplagging(void)
{
    pidlist kept = lagging;
    lagging = running;
    running = kept;
    if (lagging.count > 1) // an empty list may have no array, which qsort must not be given
        qsort(lagging.pids, lagging.count, sizeof(pid_t), bypid);
}

// Stops dorvane by the stop signal that waits, its lines written first (for a moment at
// most: a terminal stopped with Ctrl-S takes none); returns once it is continued.
static void stopwithgroup(void)
{
    keeplagging();
    drainoutputfor(100);
    stopnow();
    continued = nowms();
}

// The laggards that have stopped since are continued; those that still run stay watched,
// until LAGWATCH after the continue.
static int watchlagging(void)
{
    if (lagging.count && lookedat - continued >= LAGWATCH)
        lagging.count = 0;
    if (!lagging.count)
        return -1;
    running.count = 0;
    tracking->eachprocess(watch);
    keeplagging();
    return lagging.count ? STOPLOOK : -1;
}

// The processes are looked at every STOPLOOK ms at most, however often the loop turns.
int jobcontroldue(void)
{
    bool waits = stopwaits();
    uint32_t now = nowms();
    if (waits && !stopping) {
        stopseen = now;
        lookedat = now - STOPLOOK; // the first look is at once
    }
    stopping = waits;
    if (!waits && !lagging.count)
        return -1;
    if (now - lookedat < STOPLOOK)
        return (int)(STOPLOOK - (now - lookedat));
    lookedat = now;
    if (!waits)
        return watchlagging();
    running.count = runners = 0;
    tracking->eachprocess(look);
    if (runners && now - stopseen < STOPWAIT)
        return STOPLOOK;
    stopping = false;
    stopwithgroup();
    return STOPLOOK; // a look at the laggards, a moment after the continue
}

static void passon(pid_t pid, int)
{
    kill(pid, passing);
}

void signaltree(int sig)
{
    passing = sig;
    tracking->eachprocess(passon);
}
