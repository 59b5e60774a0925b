// What the files of the eBPF tracker share among themselves.
#pragma once

#include "../tracker.h"

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
// A map's record by its key: false, with errno set, if there is none or it cannot be read.
bool mapfind(int fd, const void *key, void *value);
void maperase(int fd, const void *key);
// The key after key in the map (the first if key is null): false after the last.
bool mapnextkey(int fd, const void *key, void *next);
