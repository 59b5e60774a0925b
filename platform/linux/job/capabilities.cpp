// What the capability install (the binary given cap_bpf,cap_perfmon) asks of dorvane. Its
// exec was a secure one: the loader took variables out of dorvane's environment that the
// programs are to get all the same, and dorvane holds privilege that none of them may get.
// It holds it only while the tracker loads, non-dumpable, and drops every capability, and
// checks that the drop took, before the root starts, whichever tracker follows the tree.
#include "records.h"

#include <errno.h>
#include <linux/capability.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#ifndef ERROR_INVALID_DATA
#define ERROR_INVALID_DATA 13u
#endif

// The environment dorvane was started with, where a secure exec scrubbed its own; else null.
static char **givenenvironment;

// dorvane's capability sets, both words of each; false, with errno, if they cannot be read.
static bool readcapabilities(__user_cap_data_struct data[2])
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, data) == 0;
}

// Whether none is held. The ambient set needs no look: the kernel keeps it within the
// permitted one.
static bool holdsnone(const __user_cap_data_struct data[2])
{
    return !(data[0].permitted | data[1].permitted | data[0].effective | data[1].effective |
             data[0].inheritable | data[1].inheritable);
}

static bool failed(DWORD error)
{
    setlasterror(error);
    return false;
}

// Run by root, dorvane keeps what root has: the programs it starts get it back at their
// exec anyway, and a non-dumpable root could not seize its child without CAP_SYS_PTRACE,
// which containers often withhold.
bool guardprivilege(void)
{
    __user_cap_data_struct data[2] = {};
    if (getuid() == 0)
        return true;
    if (!readcapabilities(data))
        return failed(noteerror("capget", errno, nullptr));
    // The kernel has made a secure exec non-dumpable already; dorvane does not rest on that
    // alone (capabilities can come otherwise): while it holds any, no process of the user
    // may attach to it, read its memory or take its descriptors, and it leaves no core.
    if (!holdsnone(data) && prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) < 0)
        return failed(noteerror("prctl", errno, nullptr));
    return true;
}

bool dropprivilege(bool dumpable)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (getuid() == 0)
        return true;
    if (!readcapabilities(data))
        return failed(noteerror("capget", errno, nullptr));
    if (holdsnone(data))
        return true;
    memset(data, 0, sizeof data);
    if (syscall(SYS_capset, &header, data) < 0)
        return failed(noteerror("capset", errno, "dorvane cannot drop its capabilities"));
    if (!readcapabilities(data))
        return failed(noteerror("capget", errno, nullptr));
    if (!holdsnone(data))
        return failed(noteerror("capset", EPERM, "a capability is still held after the drop"));
    if (dumpable && prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) < 0)
        return failed(noteerror("prctl", errno, nullptr));
    return true;
}

// Fields 50 and 51 of /proc/self/stat: where exec put the environment's strings in dorvane's
// own memory, the block that /proc/self/environ shows (which dorvane may not open while it
// is non-dumpable). False, with the last error set, if they cannot be read.
static bool environmentbounds(unsigned long *start, unsigned long *end)
{
    char stat[2048];
    if (readsmall("/proc/self/stat", stat, sizeof stat) < 0)
        return failed(noteerror("/proc/self/stat", errno,
                                "the environment dorvane was given is found there"));
    char *at = strrchr(stat, ')'); // the name before it may hold anything, blanks too
    for (int field = 3; at && field <= 50; field++)
        at = strchr(at + 1, ' '); // the blank before that field
    if (!at || sscanf(at, " %lu %lu", start, end) != 2)
        return failed(noteerror("/proc/self/stat", EIO, "it does not read as the kernel's"));
    return true;
}

// Whether the block holds what the loader left in environ: every string but the emptied
// GLIBC_TUNABLES, which it copied elsewhere. Anything else is not the block exec built.
// Only addresses are compared: the block may not be dorvane's memory at all.
static bool holdsenvironment(uintptr_t start, uintptr_t end)
{
    if (start > end)
        return false;
    for (char **e = environ; *e; e++)
        if (((uintptr_t)*e < start || (uintptr_t)*e >= end) &&
            strncmp(*e, "GLIBC_TUNABLES=", 15))
            return false;
    return true;
}

static char *notenvironment(void)
{
    noteerror("/proc/self/stat", EFAULT, "the environment it places is not dorvane's");
    setlasterror(ERROR_INVALID_DATA);
    return nullptr;
}

// The block, copied by the kernel, which refuses (EFAULT) a range that is not all readable
// memory of dorvane's: a /proc that is not the kernel's own (a user namespace may mount one)
// could say anything. It ends with the NUL of its last string. Null, with the last error
// set, if it is not the block exec built.
static char *copyenvironment(uintptr_t start, uintptr_t end)
{
    if (!holdsenvironment(start, end))
        return notenvironment();
    size_t length = end - start;
    char *copy = (char *)malloc(length + 1);
    if (!copy) {
        setlasterror(noteerror("malloc", ENOMEM, nullptr));
        return nullptr;
    }
    struct iovec to = {copy, length}, from = {(void *)start, length};
    if (process_vm_readv(getpid(), &to, 1, &from, 1, 0) != (ssize_t)length ||
        (length && copy[length - 1])) {
        free(copy);
        return notenvironment();
    }
    return copy;
}

// A secure exec has the loader take LD_PRELOAD, LD_LIBRARY_PATH, TMPDIR and the like out of
// dorvane's environment, and empty GLIBC_TUNABLES, so that they cannot steer a privileged
// process.
// They do not steer dorvane here either: it only hands them on. The programs, which run
// with no privilege, get the environment as it was given, byte for byte.
bool keepenvironment(void)
{
    unsigned long start, end;
    if (!getauxval(AT_SECURE))
        return true;
    char *strings = environmentbounds(&start, &end) ? copyenvironment(start, end) : nullptr;
    if (!strings)
        return false;
    size_t length = end - start, count = 0;
    for (size_t i = 0; i < length; i++)
        count += strings[i] == '\0';
    givenenvironment = (char **)malloc((count + 1) * sizeof(char *));
    if (!givenenvironment) {
        free(strings);
        return failed(noteerror("malloc", ENOMEM, nullptr));
    }
    for (size_t i = 0, at = 0; i < count; i++) {
        givenenvironment[i] = strings + at;
        at += strlen(strings + at) + 1;
    }
    givenenvironment[count] = nullptr;
    return true;
}

char **programenvironment(void)
{
    return givenenvironment ? givenenvironment : environ;
}
