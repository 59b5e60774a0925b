// The layout shared by the kernel half of the eBPF tracker and its reader in user space:
// the record kept per tracked process in the `procs` and `graves` maps, and the events
// sent through the `ring` buffer. Plain C with fixed-size types, so it compiles both in the
// BPF program (which has no libc) and in C++.
#pragma once

#ifdef __bpf__
typedef __u8 uint8_t;
typedef __u16 uint16_t;
typedef __u32 uint32_t;
typedef __u64 uint64_t;
#else
#include <stdint.h>
#endif

// Past this many collected bytes the walk stops: the path is then certainly longer than 259
// characters, which is all user space has to know about a long name.
#define DORVANEIMAGELIMIT 1040
// A component read may start at any offset up to the limit and takes up to 256 bytes
// (NAME_MAX and its NUL).
#define DORVANECOMPONENT 256
#define DORVANEIMAGESIZE (DORVANEIMAGELIMIT + DORVANECOMPONENT)

enum dorvanekind { DORVANEFORK = 1, DORVANEEXEC, DORVANEEXIT };

enum dorvanestate { DORVANEALIVE = 1, DORVANEENDED };

// What every event carries, and the head of every record. An event is a dorvaneevent,
// followed in EXEC events by `imagelength` bytes of image; FORK and EXIT events carry no
// image and have imagelength 0. Since each event names its process completely, a reader can
// place it even when earlier events of the same process were lost.
//
// An image is the program path as its components, leaf first, each NUL-terminated:
// "true\0bin\0usr\0" stands for "/usr/bin/true", and no component at all for "/". The
// reader reverses them. With `truncated` set, the components nearest the root are missing
// and the whole path is longer than 259 characters.
struct dorvaneevent {
    uint64_t id;        // unique per tracked process, never 0, never reused in one load
    uint64_t parentid;  // 0 for the root
    uint64_t created;   // bpf_ktime_get_ns at its fork: creation order, parents first
    uint32_t pid;       // in the pid namespace of the user-space tracker
    uint32_t parentpid; // the parent's, 0 for the root
    uint32_t status;    // wait(2) status, once ENDED
    uint8_t kind;       // dorvanekind; in a record, the last event built from it
    uint8_t state;      // dorvanestate
    uint8_t hold;       // the root until its first exec: stop it there
    uint8_t truncated;
    uint16_t imagelength;
    uint16_t reserved;
    uint32_t reserved2;
};

// One tracked process, as the maps keep it: `procs` by the kernel's global tgid while it
// lives (and after its end, when its EXIT event was lost), `graves` by id once its tgid went
// to a newer tracked process before user space took the ended record.
struct dorvanerecord {
    struct dorvaneevent head;
    char image[DORVANEIMAGESIZE];
};
