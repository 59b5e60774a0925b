// Loads the kernel half from its light skeleton: a loader program, run by the kernel,
// creates the maps and loads the programs, relocating their reads of kernel types against
// the kernel's own BTF. Nothing of that is done here, so dorvane carries no BPF library and
// starts in a few milliseconds.
#include "loader.h"

// Before the skeleton, which uses them without including them.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "tracker.skel.h"

static struct dorvanebpf *skel;

#ifdef DORVANE_BPF_LOG
// The verifier's log of the last program loaded, the one that failed if any did.
static char verifierlog[1 << 20];
#endif

int loadkernel(const struct kernelsettings *settings, struct kernelhalf *kernel,
               enum loadstep *failed)
{
    int err;

    *failed = LOADOPEN;
    if (!(skel = dorvanebpf__open()))
        return errno ? errno : ENOMEM;
    skel->rodata->selfpid = settings->selfpid;
    skel->rodata->selfnsdev = settings->selfnsdev;
    skel->rodata->selfnsino = settings->selfnsino;
    skel->rodata->follow = settings->follow;
    skel->maps.ring.max_entries = settings->ringbytes;
#ifdef DORVANE_BPF_LOG
    skel->ctx.log_level = 1;
    skel->ctx.log_size = sizeof verifierlog;
    skel->ctx.log_buf = (uint64_t)(uintptr_t)verifierlog;
#endif
    *failed = LOADPROGRAMS;
    if ((err = dorvanebpf__load(skel)) < 0)
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
    static const char *const steps[] = {"open", "load", "attach", "ring"};
    fprintf(stderr, "dorvane: eBPF %s failed: %s\n%s\n", steps[step], strerror(err),
            step == LOADPROGRAMS ? verifierlog : "");
#else
    (void)step;
    (void)err;
#endif
}
