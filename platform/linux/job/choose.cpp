// Which tracker follows the tree: chosen once, when the job is created, and no privilege
// kept once it is loaded. A new tracker is named here.
#include "records.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

const tracker *tracking = &ptracetracker;

static bool loadtracker(void)
{
    const char *named = getenv("DORVANE_TRACKER");
    if (!named || !*named) {
        // Silently the best that can run here: without the privilege to load eBPF
        // programs, or on a kernel too old for them, the ptrace tracker.
        tracking = ebpftracker.load() ? &ebpftracker : &ptracetracker;
        if (tracking == &ebpftracker)
            return true;
        forgeterror(); // why eBPF could not load: no failure of the run
        return ptracetracker.load();
    }
    if (!strcmp(named, "ebpf"))
        tracking = &ebpftracker;
    else if (!strcmp(named, "ptrace"))
        tracking = &ptracetracker;
    else {
        wchar_t *wide = bytestowide(named, strlen(named));
        wprintf(L"dorvane.exe: DORVANE_TRACKER=\"%ls\" names no tracker: ebpf or ptrace\n",
                wide ? wide : L"?");
        free(wide);
        setlasterror(noteerror("DORVANE_TRACKER", EINVAL, "it is to name ebpf or ptrace"));
        return false;
    }
    return tracking->load();
}

// The tracker's load is the one step that may need privilege: none is left once it is done.
// The ptrace tracker seizes the root between its fork and its exec, so dorvane becomes
// dumpable again for it. The eBPF tracker needs no such thing, and dorvane stays
// non-dumpable: a process of the user that may ptrace its others could otherwise take the
// descriptors of its programs and maps (pidfd_getfd), loaded with a privilege that process
// lacks.
bool choosetracker(void)
{
    return guardprivilege() && keepenvironment() && loadtracker() &&
           dropprivilege(tracking == &ptracetracker);
}
