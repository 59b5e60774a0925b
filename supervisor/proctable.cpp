// The process table: a handle to each process of the job that could be opened, kept so
// that its exit code can still be read once the job reports its end.
#include "supervisor.h"
#include "../frontend/messages.h"

procnode rootproc;

// The order of the tree. Pids rise for long stretches (by one, or in steps, or fall on some
// systems), and a tree ordered by the pid itself grows into a chain as long as the run, so
// that each insertion and lookup costs time in proportion to every process seen. Ordered by
// the pid with its bits reversed, such runs, whose low bits change fastest, fill the tree
// from its top down as evenly as a balanced tree, and keep a logarithmic depth. The way to a
// pid then passes the entries of the pids that first had its low bits, which came early in
// the run and are the ones most used: a lookup costs about the same at any size. Reversal
// is its own inverse, so two keys are equal exactly when the pids are.
static DWORD treekey(DWORD pid)
{
    DWORD key = pid;
    key = (key >> 16) | (key << 16);
    key = ((key >> 8) & 0x00ff00ffu) | ((key & 0x00ff00ffu) << 8);
    key = ((key >> 4) & 0x0f0f0f0fu) | ((key & 0x0f0f0f0fu) << 4);
    key = ((key >> 2) & 0x33333333u) | ((key & 0x33333333u) << 2);
    key = ((key >> 1) & 0x55555555u) | ((key & 0x55555555u) << 1);
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
