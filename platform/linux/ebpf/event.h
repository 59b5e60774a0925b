// The layout shared by the kernel half of the eBPF tracker and its reader in user space:
// the record kept per tracked process, which is also what every change of it sends through
// the `ring` buffer, and what `held` keeps of it when the ring has no room. Plain C with
// fixed-size types, so it compiles both in the BPF program (which has no libc) and in C++.
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

// Past this many bytes of an exec's arguments, they are not sent.
#define DORVANEARGSLIMIT 32768

// Bound of the records kept for a reader that has fallen behind, and of the records of
// processes with more than one thread: no fewer than the most pids a kernel hands out.
#define DORVANEHELDLIMIT (1u << 22)

// The change a record was last sent for.
enum dorvanekind { DORVANEFORK = 1, DORVANEEXEC, DORVANEEXIT, DORVANESTRAND };

// ALIVE until its end is claimed, by a compare-and-swap that one thread alone wins. STRANDED:
// the kernel half had no room for what following it further needs, and no longer tells its
// end; user space watches for that itself.
enum dorvanestate { DORVANEALIVE = 1, DORVANEENDED, DORVANESTRANDED };

// In an EXEC change's `truncated`: no image could be walked, for want of room for it.
#define DORVANENOIMAGE 2

// The images `heldimages` keeps of a process: the program of its first exec, which names it,
// and of its latest, which children forked after it inherit.
enum dorvaneheldimage { DORVANEFIRST = 1, DORVANELATEST = 2 };

// A tracked process as its record keeps it, and as each of its changes tells it: whole, so
// that any one change read alone names the process completely. An EXEC change is followed by
// `imagelength` bytes of image, and then, with `hasargs`, by `argslength` bytes of its
// arguments (a NUL after each, as the program got them); the others carry none (and those
// fields mean nothing in them). Arguments and usage are gathered only when the run's
// record asks for them.
//
// An image is the program path as its components, leaf first, each NUL-terminated:
// "true\0bin\0usr\0" stands for "/usr/bin/true", and no component at all for "/". The
// reader reverses them. With `truncated` set, the components nearest the root are missing:
// the path was too long, or too deep, to be walked whole.
struct dorvaneevent {
    uint64_t id;          // unique per tracked process, never 0, rising with each fork
    uint64_t parentid;    // its creator's; 0 for the root
    uint64_t created;     // bpf_ktime_get_ns at its fork
    uint64_t at;          // bpf_ktime_get_ns of this change
    uint64_t started;     // its start_boottime: with its pid, the live process /proc shows
    uint32_t pid;         // in the pid namespace of the user-space tracker
    uint32_t parentpid;   // its creator's, 0 for the root
    uint32_t status;      // wait(2) status, once ENDED
    uint32_t state;       // dorvanestate
    uint32_t seq;         // changes told so far, this one included
    uint32_t execs;       // execs so far
    uint32_t parentexecs; // its creator's execs at its fork: which program it inherited
    uint32_t forks;       // children given a record so far
    uint16_t imagelength;
    uint8_t kind;        // dorvanekind
    uint8_t hold;        // the root until its first exec: stop it there
    uint8_t truncated;   // of the image that follows
    uint8_t held;        // the ring once had no room for it: its changes go to `held`
    uint8_t link;        // in `procs`, a thread's entry: the record is in `threaded`
    uint8_t heldimages;  // dorvaneheldimage bits: the images `heldimages` has of it
    uint8_t dropped;     // a change of it was lost outright: counted in `unreported`
    uint8_t forkedfirst; // it forked before its first exec, and was named by that fork
    uint8_t hasargs;     // an EXEC change from the ring: its arguments follow the image
    uint8_t reserved[3];
    uint16_t argslength;
    // Once ENDED: its CPU time in ns, its own and that of the children it waited for, as its
    // parent's wait tells it, and its peak resident memory in pages.
    uint64_t user, system, maxrss;
};

// A record with the image of an exec, as an EXEC change is sent, and as `heldimages` keeps
// an image (with its length and truncation in the head).
struct dorvanerecord {
    struct dorvaneevent head;
    char image[DORVANEIMAGESIZE];
};

// The keys of the tries, whose prefix is the whole key: `held` by id, `heldimages` by id and
// which image, `threaded` by tgid.
struct dorvaneheldkey {
    uint32_t prefixlength; // 64
    uint32_t idlow;
    uint32_t idhigh;
};

struct dorvaneimagekey {
    uint32_t prefixlength; // 96
    uint32_t idlow;
    uint32_t idhigh;
    uint32_t which; // dorvaneheldimage
};

struct dorvanetgidkey {
    uint32_t prefixlength; // 32
    uint32_t tgid;
};
