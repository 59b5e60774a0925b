// The kernel half's maps as dorvane reads them: its rings, mapped into dorvane and read in
// place, and single records of its tries, through the bpf system call.
#include "ebpf.h"

#include <linux/bpf.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

bool mapring(ringbuffer *r, int fd)
{
    bpf_map_info info = {};
    bpf_attr attr = {};
    attr.info.bpf_fd = (uint32_t)fd;
    attr.info.info_len = sizeof info;
    attr.info.info = (uint64_t)(uintptr_t)&info;
    if (syscall(SYS_bpf, BPF_OBJ_GET_INFO_BY_FD, &attr, sizeof attr) < 0)
        return false;
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    // The consumer's position is dorvane's to write; the producer's page follows, then the
    // data, mapped twice over so that a record that wraps around reads as one.
    void *consumer = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (consumer == MAP_FAILED)
        return false;
    void *producer = mmap(nullptr, page + 2 * (size_t)info.max_entries, PROT_READ, MAP_SHARED,
                          fd, (off_t)page);
    if (producer == MAP_FAILED) {
        munmap(consumer, page);
        return false;
    }
    r->fd = fd;
    r->mask = info.max_entries - 1;
    r->consumer = (uint64_t *)consumer;
    r->producer = (const uint64_t *)producer;
    r->data = (const uint8_t *)producer + page;
    return true;
}

void unmapring(ringbuffer *r)
{
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    if (r->consumer)
        munmap(r->consumer, page);
    if (r->producer)
        munmap((void *)r->producer, page + 2 * (r->mask + 1));
    *r = {};
}

void consumering(ringbuffer *r, void (*each)(const void *data, uint32_t size))
{
    uint64_t at = __atomic_load_n(r->consumer, __ATOMIC_ACQUIRE);
    for (;;) {
        uint64_t end = __atomic_load_n(r->producer, __ATOMIC_ACQUIRE);
        if (at == end)
            return;
        while (at < end) {
            const uint8_t *record = r->data + (at & r->mask);
            uint32_t length = __atomic_load_n((const uint32_t *)record, __ATOMIC_ACQUIRE);
            if (length & BPF_RINGBUF_BUSY_BIT)
                return; // still being written: the kernel wakes the reader once it is done
            at += (BPF_RINGBUF_HDR_SZ + (length & ~BPF_RINGBUF_DISCARD_BIT) + 7) & ~7ull;
            if (!(length & BPF_RINGBUF_DISCARD_BIT) && each)
                each(record + BPF_RINGBUF_HDR_SZ, length);
            __atomic_store_n(r->consumer, at, __ATOMIC_RELEASE);
        }
    }
}

const void *peekring(const ringbuffer *r)
{
    uint64_t at = __atomic_load_n(r->consumer, __ATOMIC_ACQUIRE);
    if (at == __atomic_load_n(r->producer, __ATOMIC_ACQUIRE))
        return nullptr;
    const uint8_t *record = r->data + (at & r->mask);
    uint32_t length = __atomic_load_n((const uint32_t *)record, __ATOMIC_ACQUIRE);
    return length & (BPF_RINGBUF_BUSY_BIT | BPF_RINGBUF_DISCARD_BIT)
               ? nullptr
               : record + BPF_RINGBUF_HDR_SZ;
}

static int bpfcall(int command, int fd, const void *key, void *valueornext)
{
    bpf_attr attr = {};
    attr.map_fd = (uint32_t)fd;
    attr.key = (uint64_t)(uintptr_t)key;
    attr.value = (uint64_t)(uintptr_t)valueornext; // next_key shares its place
    return (int)syscall(SYS_bpf, command, &attr, sizeof attr);
}

bool mapfind(int fd, const void *key, void *value)
{
    return bpfcall(BPF_MAP_LOOKUP_ELEM, fd, key, value) == 0;
}

void maperase(int fd, const void *key)
{
    bpfcall(BPF_MAP_DELETE_ELEM, fd, key, nullptr);
}

bool mapnextkey(int fd, const void *key, void *next)
{
    return bpfcall(BPF_MAP_GET_NEXT_KEY, fd, key, next) == 0;
}
