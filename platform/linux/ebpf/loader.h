// The kernel half as the user half sees it once loaded: its maps' descriptors and the
// counters it keeps. Plain C: the loader that fills it in is C, as its skeleton must be.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// What the kernel half is told before it is loaded, and frozen there as constants.
struct kernelsettings {
    uint32_t selfpid;       // dorvane's pid in its own pid namespace
    uint64_t selfnsdev;     // the kernel's encoding of st_dev of /proc/self/ns/pid
    uint64_t selfnsino;     // st_ino of /proc/self/ns/pid
    uint32_t follow;        // 0: the root alone is followed
    uint32_t ringbytes;     // the size of the ring of events, a power of 2 of pages
    uint32_t threadedlimit; // 0, or a bound of `threaded` (tests of a table that fills)
    uint32_t withrecord;    // 1: the arguments and usage the run's record asks for
    uint32_t cpus;          // the CPUs' count, for what the record asks
};

struct kernelhalf {
    int ring, doorbell, held, heldimages; // map descriptors
    // Written by the kernel half as the tree changes.
    volatile const uint32_t *rootfound, *rootheld;
    volatile const int64_t *alive;
    volatile const uint64_t *lost, *unreported;
};

// The steps of a load, each of which can fail; the last, the read of a map without privilege.
enum loadstep { LOADOPEN, LOADPROGRAMS, LOADATTACH, LOADRING, LOADREAD };

// Loads and attaches the kernel half: 0, or an errno and the step that failed.
int loadkernel(const struct kernelsettings *settings, struct kernelhalf *kernel,
               enum loadstep *failed);
// Unloads it, if it is loaded.
void unloadkernel(void);
// With the build option for developers, says why a load failed, with the verifier's log.
void saywhyloadfailed(enum loadstep step, int err);

#ifdef __cplusplus
}
#endif
