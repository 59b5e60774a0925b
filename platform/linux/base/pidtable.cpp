// The table of records by pid: a hash table with chains through the records.
#include "pidtable.h"

#include <stdlib.h>

static size_t bucketof(pid_t pid, size_t n)
{
    return ((size_t)pid * 2654435761u) & (n - 1);
}

static void grow(pidtable *table)
{
    size_t n = table->nbuckets ? 2 * table->nbuckets : 1024;
    pidentry **fresh = (pidentry **)calloc(n, sizeof(pidentry *));
    if (!fresh)
        return; // longer chains, still correct
    for (size_t i = 0; i < table->nbuckets; i++) {
        while (pidentry *e = table->buckets[i]) {
            table->buckets[i] = e->next;
            size_t b = bucketof(e->pid, n);
            e->next = fresh[b];
            fresh[b] = e;
        }
    }
    free(table->buckets);
    table->buckets = fresh;
    table->nbuckets = n;
}

pidentry *pidfind(const pidtable *table, pid_t pid)
{
    if (!table->nbuckets)
        return nullptr;
    pidentry *e = table->buckets[bucketof(pid, table->nbuckets)];
    while (e && e->pid != pid)
        e = e->next;
    return e;
}

pidentry *pidfindnext(pidentry *entry)
{
    pid_t pid = entry->pid;
    do
        entry = entry->next;
    while (entry && entry->pid != pid);
    return entry;
}

pidentry *pidnext(const pidtable *table, pidentry *entry)
{
    if (entry && entry->next)
        return entry->next;
    size_t from = entry ? bucketof(entry->pid, table->nbuckets) + 1 : 0;
    for (size_t b = from; b < table->nbuckets; b++)
        if (table->buckets[b])
            return table->buckets[b];
    return nullptr;
}

bool pidinsert(pidtable *table, pidentry *entry)
{
    if (table->count >= table->nbuckets)
        grow(table);
    if (!table->nbuckets)
        return false;
    size_t b = bucketof(entry->pid, table->nbuckets);
    entry->next = table->buckets[b];
    table->buckets[b] = entry;
    table->count++;
    return true;
}

void piderase(pidtable *table, pidentry *entry)
{
    pidentry **at = &table->buckets[bucketof(entry->pid, table->nbuckets)];
    while (*at != entry)
        at = &(*at)->next;
    *at = entry->next;
    table->count--;
}
