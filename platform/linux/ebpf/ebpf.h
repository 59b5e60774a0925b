// What the files of the eBPF tracker share among themselves.
#pragma once

#include "../tracker.h"
#include "event.h"
#include "loader.h"

struct pollfd;

// watch.cpp
// The root, forked, is to be held stopped from its exec until it is let go: from now on, if
// dorvane ends first, a watch continues it. False, with errno set, if the watch cannot start.
bool startwatch(pid_t root);
// The root runs, or will never run: the watch ends. Nothing if none runs.
void endwatch(void);

// maps.cpp
// A ring of the kernel half, mapped for reading.
struct ringbuffer {
    int fd;
    uint64_t mask;
    uint64_t *consumer;
    const uint64_t *producer;
    const uint8_t *data;
};
// Maps the ring whose map is fd; false, with errno set, if it cannot.
bool mapring(ringbuffer *r, int fd);
void unmapring(ringbuffer *r);
// Hands each record published to each (if any) in order, and frees its room.
void consumering(ringbuffer *r, void (*each)(const void *data, uint32_t size));
// The first record published and not yet consumed, or null.
const void *peekring(const ringbuffer *r);
// A map's record by its key: false, with errno set, if there is none or it cannot be read.
bool mapfind(int fd, const void *key, void *value);
void maperase(int fd, const void *key);
// The key after key in the map (the first if key is null): false after the last.
bool mapnextkey(int fd, const void *key, void *next);

// ebpf.cpp: the loaded kernel half and the ring of its changes.
extern kernelhalf kernel;
extern ringbuffer ring;
// Room in a growing array for one element more, doubling it when full; false without memory.
bool roomforone(void **array, size_t count, size_t *size, size_t each);

// tree.cpp: the processes of the tree, from what the kernel half tells.
// The root, stopped after its exec, is the process of the first fork the ring tells.
void adoptroot(proc *root, pid_t pid);
// The root is let go: true if it had ended meanwhile, and that end is reported now.
bool letrootgo(void);
// Reads the ring, and what `held` has kept since it was last read.
void readtree(void);
// When the change read last was made, in the kernel's monotonic ns.
extern uint64_t lasteventat;
// Whether the tree is gone and every end is reported. Once the kernel half counts none
// alive, whatever it could not tell is ended without its status; stranded processes still
// running keep the tree.
bool treegone(void);
// Calls each with the pid of every process whose end is not reported yet. Nothing of the tree
// is traced: /proc is to tell whether it is stopped.
void eachtreeprocess(void (*each)(pid_t pid, int stopped));
// The pidfds of the stranded processes watched, for a poll; and the poll's answer.
size_t watchcount(void);
size_t watchfds(pollfd *fds, size_t room);
void watchedready(const pollfd *fds, size_t count);
