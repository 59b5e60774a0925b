// Which tracker follows the tree: chosen once, when the job is created. A new tracker is
// named here.
#include "records.h"

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
        return tracking == &ebpftracker || ptracetracker.load();
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
        setlasterror(ERROR_INVALID_PARAMETER);
        return false;
    }
    return tracking->load();
}

bool choosetracker(void)
{
    return keepenvironment() && loadtracker();
}
