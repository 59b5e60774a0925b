// The private heap and the process exit. One thread uses the heap, so malloc backs it,
// but for small blocks: the table's entries, one for every process of the run, kept to
// its end. Those come from pools of blocks of one size, carved from large chunks without a
// header per block, so that each costs its own bytes and no more.
#include "linux.h"

#include <sanitizer/asan_interface.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define HEAP_ZERO_MEMORY 0x00000008u

// Bytes of a pool's chunk: 2,048 table entries.
#define CHUNKBYTES 65536
// The largest block the heap's pool serves: a table entry.
#define SMALLBLOCK 32

// The one heap record that every HeapCreate hands out.
static handlekind heap = KINDHEAP;
// The heap's blocks of up to SMALLBLOCK bytes.
static blockpool small = {SMALLBLOCK};

// A chunk's place among the pool's, which are kept in the order of their addresses.
static size_t chunkindex(const blockpool *pool, const char *at)
{
    size_t low = 0, high = pool->nchunks;
    while (low < high) {
        size_t middle = (low + high) / 2;
        if (pool->chunks[middle] <= at)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

static bool newchunk(blockpool *pool)
{
    if (pool->nchunks == pool->chunkroom) {
        size_t room = pool->chunkroom ? 2 * pool->chunkroom : 16;
        char **grown = (char **)realloc(pool->chunks, room * sizeof(char *));
        if (!grown)
            return false;
        pool->chunks = grown;
        pool->chunkroom = room;
    }
    char *chunk = (char *)malloc(CHUNKBYTES);
    if (!chunk)
        return false;
    size_t at = chunkindex(pool, chunk);
    memmove(pool->chunks + at + 1, pool->chunks + at, (pool->nchunks - at) * sizeof(char *));
    pool->chunks[at] = chunk;
    pool->nchunks++;
    pool->next = chunk;
    pool->left = CHUNKBYTES / pool->size;
    ASAN_POISON_MEMORY_REGION(chunk, CHUNKBYTES);
    return true;
}

void *takeblock(blockpool *pool)
{
    void *block = pool->freed;
    if (block) {
        ASAN_UNPOISON_MEMORY_REGION(block, pool->size);
        memcpy(&pool->freed, block, sizeof(void *)); // blocks may be aligned to 4 only
        return block;
    }
    if (!pool->left && !newchunk(pool))
        return nullptr;
    block = pool->next;
    pool->next += pool->size;
    pool->left--;
    ASAN_UNPOISON_MEMORY_REGION(block, pool->size);
    return block;
}

void giveblock(blockpool *pool, void *block)
{
    memcpy(block, &pool->freed, sizeof(void *));
    pool->freed = block;
    ASAN_POISON_MEMORY_REGION(block, pool->size);
}

bool inpool(const blockpool *pool, const void *block)
{
    size_t at = chunkindex(pool, (const char *)block);
    return at > 0 && (const char *)block < pool->chunks[at - 1] + CHUNKBYTES;
}

HANDLE HeapCreate(DWORD, SIZE_T, SIZE_T)
{
    return &heap;
}

LPVOID HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes)
{
    if (handle != &heap) {
        setlasterror(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // malloc(0) may give null; HeapAlloc(0) gives a block.
    void *block = bytes <= SMALLBLOCK ? takeblock(&small) : malloc(bytes);
    if (!block)
        setlasterror(ERROR_NOT_ENOUGH_MEMORY);
    else if (flags & HEAP_ZERO_MEMORY)
        memset(block, 0, bytes);
    return block;
}

BOOL HeapFree(HANDLE handle, DWORD, LPVOID block)
{
    if (handle != &heap) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (block && inpool(&small, block))
        giveblock(&small, block);
    else
        free(block);
    return TRUE;
}

// The lines still queued go out first, however long the output takes them: a report that
// ends early would say less than dorvane saw. _exit then spares the sanitizers' leak check
// the memory that is never freed by design. The programs still running, if any, are
// detached by the kernel and go on.
// A Linux exit status keeps only the low 8 bits; a failure whose code has none of them set
// must not read as success.
void ExitProcess(UINT code)
{
    int status = (int)(code & 0xff);
    drainoutput();
    _exit(code != 0 && status == 0 ? 0xff : status);
}
