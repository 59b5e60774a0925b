// The process table: a handle to each process of the job that could be opened, kept so
// that its exit code can still be read once the job reports its end.
#include "supervisor.h"
#include "../frontend/messages.h"

procnode rootproc;

// The order of the tree. Pids rise for long stretches (by one, or in steps, or fall on some
// systems), and a tree ordered by the pid itself grows into a chain as long as the run, so
// that each insertion and lookup costs time in proportion to every process seen. Ordered by
// a fixed mix of the pid, such runs scatter as random keys do and the tree keeps a
// logarithmic depth. The mix is a bijection of 32-bit values (xor-shifts and odd
// multiplications, each of which can be undone), so two keys are equal exactly when the
// pids are.
static DWORD treekey(DWORD pid)
{
    DWORD key = pid;
    key ^= key >> 16;
    key *= 0x85ebca6bu;
    key ^= key >> 13;
    key *= 0xc2b2ae35u;
    key ^= key >> 16;
    return key;
}

// Takes over the handle: it ends up in the table or closed.
void insertproc(DWORD pid, HANDLE handle)
{
    procnode *node = (procnode *)HeapAlloc(hh, 0, sizeof(procnode));
    if (!node) {
        CloseHandle(handle);
        _putws(MSGTABLEALLOC);
        return;
    }
    node->pid = pid;
    node->handle = handle;
    node->left = nullptr;
    node->right = nullptr;

    DWORD key = treekey(pid);
    procnode *at = &rootproc;
    for (;;) {
        DWORD here = treekey(at->pid);
        if (key < here) {
            if (!at->left) {
                at->left = node;
                return;
            }
            at = at->left;
        } else if (key > here) {
            if (!at->right) {
                at->right = node;
                return;
            }
            at = at->right;
        } else {
            break;
        }
    }
    // The pid is known already. The root keeps its creation handle, which is what its exit
    // code is read through; any other entry belongs to an earlier process that had this
    // pid, and takes the new handle in place of the old one, which would otherwise leak.
    if (at == &rootproc) {
        CloseHandle(handle);
    } else {
        CloseHandle(at->handle);
        at->handle = handle;
    }
    HeapFree(hh, 0, node);
}

procnode *findproc(DWORD pid)
{
    DWORD key = treekey(pid);
    procnode *at = &rootproc;
    while (at && at->pid != pid)
        at = key < treekey(at->pid) ? at->left : at->right;
    return at;
}
