// A table of records by pid, for a tracker's own per-task or per-process entries. It knows
// nothing of what the entries hold: each begins with a pidentry, and the table chains them
// through it, so a lookup costs O(1) and an entry costs nothing beyond its own record.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// The head of every entry of a table. The table owns neither: its user allocates an entry,
// sets its pid, inserts it, and frees it after taking it out.
struct pidentry {
    pidentry *next; // next in its bucket
    pid_t pid;
};

struct pidtable {
    pidentry **buckets; // a power of two in number; doubles when the entries outnumber it
    size_t nbuckets;
    size_t count;
};

pidentry *pidfind(const pidtable *table, pid_t pid);
// The next entry filed under the same pid as this one, for a table that holds several.
pidentry *pidfindnext(pidentry *entry);
// Files the entry under its pid; false, without memory for the first buckets.
bool pidinsert(pidtable *table, pidentry *entry);
void piderase(pidtable *table, pidentry *entry);
// The entry after this one, in no particular order; the first with null.
pidentry *pidnext(const pidtable *table, pidentry *entry);
