// The process table: a handle to each process of the job that could be opened, kept so
// that its exit code can still be read once the job reports its end.
#include "supervisor.h"
#include "../frontend/messages.h"

procnode rootproc;

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

    procnode *at = &rootproc;
    for (;;) {
        if (pid < at->pid) {
            if (!at->left) {
                at->left = node;
                return;
            }
            at = at->left;
        } else if (pid > at->pid) {
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
    procnode *at = &rootproc;
    while (at && at->pid != pid)
        at = pid < at->pid ? at->left : at->right;
    return at;
}
