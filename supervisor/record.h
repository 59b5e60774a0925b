// The run's record beyond the report's lines: one JSON object per process (--json), a
// trace of the processes (--trace) and a summary of what failed (--summary). It is fed by
// the same notifications as the report, after the lines each one writes, and without one
// of those options it asks nothing of the system and writes nothing.
#pragma once

#include "json.h"
#include "supervisor.h"

struct options;

// Creates the files asked for, before the root starts, and starts the record afresh: a
// file that cannot be created ends the run with its error code. commandline is the
// root's, as joined.
void recordopen(const options *o, const wchar_t *commandline);
// A process has joined: process is the handle the handler opened (null if it could not),
// program its name as the report gives it (null if it could not be read).
void recordnew(DWORD pid, HANDLE process, const wchar_t *program);
// A process has ended: process is the table's handle of it (null if it has none), and the
// exit code is the report's, if it has one.
void recordend(DWORD pid, bool abnormal, HANDLE process, bool hascode, DWORD code);
// The run has ended normally, with the root's exit code.
void recordrun(DWORD code);
// dorvane ends with code: the run's line, the trace's end and the summary. From myexit.
void recordclose(DWORD code);
// Forgets any earlier run's record, for a process that runs more than one (the unit tests).
void recordreset(void);

// What the record keeps of a process from its new-process notification to its end.
struct recorded {
    recorded *next; // in its bucket of the live processes; then among the failures kept
    DWORD pid;
    uint32_t seq; // its place in the order of the new-process notifications, from 1
    bool hasppid; // its creator is known
    DWORD ppid;
    int64_t seen;      // when its new-process notification came, from the root's start
    wchar_t *program;  // as the report names it; null if unknown
    wchar_t *argv;     // its command line (on Linux its arguments, a NUL after each)
    size_t argvlength; // in characters; argv is null if unknown
    void *argvblock;   // the block that holds argv, if it has one of its own
    bool abnormal;     // how it ended
    bool hascode;
    DWORD code;
};

// What the system tells of a process at its end. Times are in 100 ns units, from the
// root's start.
struct endfacts {
    bool hastimes; // its start and end
    int64_t start, end;
    bool hascpu; // its user and system CPU time
    int64_t user, system;
    uint64_t maxrss; // its peak resident memory in KB; 0 if unknown
    DWORD signal;    // that ended it; 0 if none
    bool codelost;   // the exit code the system gave stands in for one it could not keep
};

// recordask.cpp: what the system is asked of a process at its joining and at its end.
// Its creator and its command line, into r.
void asknew(recorded *r, HANDLE process);
// process may be null.
void askend(HANDLE process, int64_t origin, endfacts *f);
// The time now, as GetSystemTimeAsFileTime tells it, and a FILETIME as a number.
int64_t ticksnow(void);
int64_t ticksof(const FILETIME *t);

// livetable.cpp: the processes that have joined and not ended, by pid.
struct livetable {
    recorded **buckets; // a power of two of them
    size_t count, size;
};
void addlive(livetable *t, recorded *r);
// The live process with this pid, taken out of the table; null if there is none.
recorded *takelive(livetable *t, DWORD pid);
void freerecorded(recorded *r);

// The fields of a process that the JSON line and the trace share: pid, ppid, program, argv,
// exitcode, crash and signal.
void recordfields(jsonline *j, const recorded *r, DWORD signal);
// A crash or a non-zero exit code.
bool failed(const recorded *r);
// Its argv holds arguments, a NUL after each (Linux), rather than a command line as one
// string (Windows).
bool argvisvector(const recorded *r);

// summary.cpp: the failures that the summary lists, in the order of their ends.
struct failurelist {
    recorded *first, **last;
    uint32_t count;
};
// Keeps r if it failed and the list has room; frees it otherwise.
void summarykeep(failurelist *l, recorded *r);
void summarywrite(const failurelist *l, uint32_t processes, uint32_t failures,
                  uint32_t incomplete);

// tracefile.cpp: one process of the trace, on one line: its track, its complete event and
// its creator's flow to it. Where the system could not tell its times, the event spans
// from its notification to ended.
void traceprocess(jsonline *j, const recorded *r, const endfacts *f, int64_t ended);
