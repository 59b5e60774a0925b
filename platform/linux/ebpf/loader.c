// Loads the kernel half from its light skeleton: a loader program, run by the kernel,
// creates the maps and loads the programs, relocating their reads of kernel types against
// the kernel's own BTF. Nothing of that is done here, so dorvane carries no BPF library and
// starts in a few milliseconds.
#include "loader.h"

// Before the skeleton, which uses them without including them.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "skeldata.h"
#include "tracker.skel.h"

static struct dorvanebpf *skel;

#ifdef DORVANE_BPF_LOG
// The verifier's log of the last program loaded, the one that failed if any did.
static char verifierlog[1 << 20];
#endif

// The verifier gives up with EAGAIN while a signal is pending: dorvane stopped as it starts
// (each stop, however many come in a burst, cuts one load short at most), or a signal it
// handles. The load is tried again, from a fresh skeleton, for as long as that is the cause;
// the bound only keeps a kernel that said EAGAIN for another reason from holding the start.
#define LOADATTEMPTS 1000

// A skeleton with the settings in place.
static struct dorvanebpf *openkernel(const struct kernelsettings *settings)
{
    struct dorvanebpf *opened = dorvanebpf__open();

    if (!opened)
        return NULL;
    opened->rodata->selfpid = settings->selfpid;
    opened->rodata->selfnsdev = settings->selfnsdev;
    opened->rodata->selfnsino = settings->selfnsino;
    opened->rodata->follow = settings->follow;
    opened->maps.ring.max_entries = settings->ringbytes;
    if (settings->threadedlimit)
        opened->maps.threaded.max_entries = settings->threadedlimit;
    opened->rodata->withrecord = settings->withrecord;
    if (settings->withrecord)
        opened->maps.sending.max_entries = settings->cpus;
#ifdef DORVANE_BPF_LOG
    opened->ctx.log_level = 1;
    opened->ctx.log_size = sizeof verifierlog;
    opened->ctx.log_buf = (uint64_t)(uintptr_t)verifierlog;
#endif
    return opened;
}

int loadkernel(const struct kernelsettings *settings, struct kernelhalf *kernel,
               enum loadstep *failed)
{
    int err = -EAGAIN;

    for (int attempt = 0; (err == -EAGAIN || err == -EINTR) && attempt < LOADATTEMPTS;
         attempt++) {
        unloadkernel();
        *failed = LOADOPEN;
        if (!(skel = openkernel(settings)))
            return errno ? errno : ENOMEM;
        *failed = LOADPROGRAMS;
        err = dorvanebpf__load(skel);
    }
    if (err < 0)
        return -err;
    *failed = LOADATTACH;
    if ((err = dorvanebpf__attach(skel)) < 0)
        return errno ? errno : -err;
    kernel->ring = skel->maps.ring.map_fd;
    kernel->doorbell = skel->maps.doorbell.map_fd;
    kernel->held = skel->maps.held.map_fd;
    kernel->heldimages = skel->maps.heldimages.map_fd;
    kernel->rootfound = &skel->bss->rootfound;
    kernel->rootheld = &skel->bss->rootheld;
    // The kernel's 64-bit types are long long, the same size as stdint's here.
    kernel->alive = (volatile const int64_t *)&skel->bss->alive;
    kernel->lost = (volatile const uint64_t *)&skel->bss->lost;
    kernel->unreported = (volatile const uint64_t *)&skel->bss->unreported;
    return 0;
}

void unloadkernel(void)
{
    dorvanebpf__destroy(skel);
    skel = NULL;
}

void saywhyloadfailed(enum loadstep step, int err)
{
#ifdef DORVANE_BPF_LOG
    static const char *const steps[] = {"open", "load", "attach", "ring", "read"};
    fprintf(stderr, "dorvane: eBPF %s failed: %s\n%s\n", steps[step], strerror(err),
            step == LOADPROGRAMS ? verifierlog : "");
#else
    (void)step;
    (void)err;
#endif
}
