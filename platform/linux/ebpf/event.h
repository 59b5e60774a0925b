// The layout shared by the kernel half of the eBPF tracker and its reader in user space:
// the record kept per tracked process, the events sent through the `ring` buffer, and what
// `held` keeps of them when the ring has no room. Plain C with fixed-size types, so it compiles
// both in the BPF program (which has no libc) and in C++.
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

// Bound of the records kept for a reader that has fallen behind: a reader stopped outright
// through a storm of this many processes still gets every one.
#define DORVANEHELDLIMIT (1u << 22)

enum dorvanekind { DORVANEFORK = 1, DORVANEEXEC, DORVANEEXIT };

enum dorvanestate { DORVANEALIVE = 1, DORVANEENDED };

// What every event carries, and the head of every record. An event is a dorvaneevent,
// followed in EXEC events by `imagelength` bytes of image; FORK and EXIT events carry no
// image and have imagelength 0. Each names its process completely.
//
// An image is the program path as its components, leaf first, each NUL-terminated:
// "true\0bin\0usr\0" stands for "/usr/bin/true", and no component at all for "/". The
// reader reverses them. With `truncated` set, the components nearest the root are missing:
// the path was too long, or too deep, to be walked whole.
struct dorvaneevent {
    uint64_t id;        // unique per tracked process, never 0, never reused in one load
    uint64_t parentid;  // 0 for the root
    uint64_t created;   // bpf_ktime_get_ns at its fork: creation order, parents first
    uint32_t pid;       // in the pid namespace of the user-space tracker
    uint32_t parentpid; // the parent's, 0 for the root
    uint32_t status;    // wait(2) status, once ENDED
    uint32_t state;     // dorvanestate; its end is claimed by a compare-and-swap of it
    uint8_t kind;       // dorvanekind; in a record, the last event built from it
    uint8_t hold;       // the root until its first exec: stop it there
    uint8_t truncated;
    uint8_t held; // the ring once had no room for it: its changes go to `held`
    uint16_t imagelength;
    uint8_t heldimage; // `heldimages` has the program it exec'd while held
    uint8_t dropped;   // an event of it was lost outright: counted in `unreported`
    uint32_t seq;      // how many times it was written to `held`
    uint32_t reserved;
};

// One tracked process, as `procs` keeps it.
struct dorvanerecord {
    struct dorvaneevent head;
    char image[DORVANEIMAGESIZE];
};

struct dorvaneimage {
    char bytes[DORVANEIMAGESIZE];
};

// The key of `held` and `heldimages`: a trie's, whose prefix is the whole id.
struct dorvaneheldkey {
    uint32_t prefixlength; // 64
    uint32_t idlow;
    uint32_t idhigh;
};
