// The table of traced tasks by tid: a hash table with chains through the records, so a
// lookup costs O(1) and a task costs one small record while it lives, none after.
#include "records.h"

#include <stdlib.h>

// Buckets of the table, a power of two in number; it doubles when the tasks outnumber them.
static task **buckets;
static size_t nbuckets;
// Tasks in the table.
static size_t ntasks;

static size_t bucketof(pid_t tid, size_t n)
{
    return ((size_t)tid * 2654435761u) & (n - 1);
}

static void grow(void)
{
    size_t n = nbuckets ? 2 * nbuckets : 1024;
    task **fresh = (task **)calloc(n, sizeof(task *));
    if (!fresh)
        return; // longer chains, still correct
    for (size_t i = 0; i < nbuckets; i++) {
        while (task *t = buckets[i]) {
            buckets[i] = t->next;
            size_t b = bucketof(t->tid, n);
            t->next = fresh[b];
            fresh[b] = t;
        }
    }
    free(buckets);
    buckets = fresh;
    nbuckets = n;
}

task *findtask(pid_t tid)
{
    if (!nbuckets)
        return nullptr;
    task *t = buckets[bucketof(tid, nbuckets)];
    while (t && t->tid != tid)
        t = t->next;
    return t;
}

task *nexttask(task *t)
{
    if (t && t->next)
        return t->next;
    for (size_t b = t ? bucketof(t->tid, nbuckets) + 1 : 0; b < nbuckets; b++)
        if (buckets[b])
            return buckets[b];
    return nullptr;
}

task *addtask(pid_t tid, proc *p)
{
    if (ntasks >= nbuckets)
        grow();
    if (!nbuckets)
        return nullptr;
    task *t = (task *)calloc(1, sizeof(task));
    if (!t)
        return nullptr;
    t->tid = tid;
    t->process = p;
    if (p)
        holdproc(p);
    size_t b = bucketof(tid, nbuckets);
    t->next = buckets[b];
    buckets[b] = t;
    ntasks++;
    return t;
}

void removetask(task *t)
{
    task **at = &buckets[bucketof(t->tid, nbuckets)];
    while (*at != t)
        at = &(*at)->next;
    *at = t->next;
    ntasks--;
    if (t->process)
        releaseproc(t->process);
    free(t);
}
