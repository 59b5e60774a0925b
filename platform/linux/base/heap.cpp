// The private heap and the process exit. One thread uses the heap, so malloc backs it
// directly; the heap handle only has to be a valid, distinct value.
#include "linux.h"

#include <stdlib.h>
#include <unistd.h>

#define HEAP_ZERO_MEMORY 0x00000008u

// The one heap record that every HeapCreate hands out.
static handlekind heap = KINDHEAP;

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
    void *block =
        flags & HEAP_ZERO_MEMORY ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    if (!block)
        setlasterror(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

BOOL HeapFree(HANDLE handle, DWORD, LPVOID block)
{
    if (handle != &heap) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
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
