// The light skeleton's helpers for its global data (.rodata, .bss), whichever bpftool
// generated it. Debian's bpftool is built from the kernel's stable tree and moves with its
// security updates, while libbpf-dev's skel_internal.h stays at libbpf 1.1: a newer bpftool
// calls these helpers with the map's value size and entry count, where the older header takes
// a page-rounded size. The skeleton is matched by the count of its arguments, and served here
// in user space's way (anonymous memory until the load, then the map itself, mapped in its
// place), never by the header's own.
#pragma once

#include <bpf/skel_internal.h>

#define DORVANEARGC(...) DORVANEARGC_(__VA_ARGS__, 6, 5, 4, 3, 2, 1)
#define DORVANEARGC_(a, b, c, d, e, f, n, ...) n
#define DORVANEJOIN(a, b) DORVANEJOIN_(a, b)
#define DORVANEJOIN_(a, b) a##b

// Both forms size the mapping as the map's values laid out in pages.
static inline size_t skeldatasize(size_t valuesize, __u32 entries)
{
    size_t page = (size_t)sysconf(_SC_PAGE_SIZE);
    size_t size = (valuesize + 7) / 8 * 8 * entries;
    return (size + page - 1) / page * page;
}

static inline void *skeldataprep(const void *value, size_t mapsize, size_t datasize)
{
    void *addr = mmap(NULL, mapsize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);

    if (addr == (void *)-1)
        return NULL;
    memcpy(addr, value, datasize);
    return addr;
}

static inline void *skeldatafinal(__u64 *initial, size_t mapsize, int flags, int fd)
{
    void *addr = mmap((void *)(long)*initial, mapsize, flags, MAP_SHARED | MAP_FIXED, fd, 0);

    return addr == (void *)-1 ? NULL : addr;
}

// libbpf 1.1's forms, with the size already a mapping's.
#define skeldataprep3(value, mapsize, datasize) skeldataprep(value, mapsize, datasize)
#define skeldatafinal4(initial, mapsize, flags, fd) skeldatafinal(initial, mapsize, flags, fd)
#define skeldatafree3(p, initial, mapsize) munmap(p, mapsize)
// The later forms, by value size and entries.
#define skeldataprep4(value, valuesize, entries, datasize)                                     \
    skeldataprep(value, skeldatasize(valuesize, entries), datasize)
#define skeldatafinal5(initial, valuesize, entries, flags, fd)                                 \
    skeldatafinal(initial, skeldatasize(valuesize, entries), flags, fd)
#define skeldatafree4(p, initial, valuesize, entries)                                          \
    munmap(p, skeldatasize(valuesize, entries))

#define skel_prep_map_data(...) DORVANEJOIN(skeldataprep, DORVANEARGC(__VA_ARGS__))(__VA_ARGS__)
#define skel_finalize_map_data(...)                                                            \
    DORVANEJOIN(skeldatafinal, DORVANEARGC(__VA_ARGS__))(__VA_ARGS__)
#define skel_free_map_data(...) DORVANEJOIN(skeldatafree, DORVANEARGC(__VA_ARGS__))(__VA_ARGS__)
