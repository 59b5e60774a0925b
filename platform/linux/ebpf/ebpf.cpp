// The eBPF tracker's user half.
#include "../tracker.h"

static bool load(void)
{
    setlasterror(ERROR_NOT_SUPPORTED);
    return false;
}

const tracker ebpftracker = {load,    nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr};
