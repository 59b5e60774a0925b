// The processes that have joined and not yet ended, by pid: the record keeps what it read
// of each at its joining until its end. Only live processes are in it, so it stays as small
// as the tree is at its widest.
#include "record.h"

static recorded **bucketof(livetable *t, DWORD pid)
{
    return &t->buckets[(pid * 0x9e3779b1u >> 7) & (t->size - 1)];
}

// Twice the buckets once there are as many processes as buckets; without memory for them,
// the chains grow longer instead.
static void grow(livetable *t)
{
    size_t size = t->size ? 2 * t->size : 64;
    recorded **buckets = (recorded **)HeapAlloc(hh, 0, size * sizeof *buckets);
    if (!buckets)
        return;
    memset(buckets, 0, size * sizeof *buckets);
    livetable old = *t;
    t->buckets = buckets;
    t->size = size;
    for (size_t i = 0; i < old.size; i++)
        for (recorded *r = old.buckets[i], *next; r; r = next) {
            next = r->next;
            recorded **bucket = bucketof(t, r->pid);
            r->next = *bucket;
            *bucket = r;
        }
    if (old.buckets)
        HeapFree(hh, 0, old.buckets);
}

void addlive(livetable *t, recorded *r)
{
    if (t->count >= t->size)
        grow(t);
    if (!t->size) { // not even the first buckets: it stays unknown, and its end alone is told
        freerecorded(r);
        return;
    }
    recorded **bucket = bucketof(t, r->pid);
    r->next = *bucket;
    *bucket = r;
    t->count++;
}

recorded *takelive(livetable *t, DWORD pid)
{
    if (!t->size)
        return nullptr;
    for (recorded **at = bucketof(t, pid); *at; at = &(*at)->next)
        if ((*at)->pid == pid) {
            recorded *r = *at;
            *at = r->next;
            t->count--;
            return r;
        }
    return nullptr;
}

void freerecorded(recorded *r)
{
    if (r->program)
        HeapFree(hh, 0, r->program);
    if (r->argvblock)
        HeapFree(hh, 0, r->argvblock);
    HeapFree(hh, 0, r);
}
