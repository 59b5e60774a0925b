// The kernel types the tracker reads, declared by hand with only the fields it uses. Every
// struct carries preserve_access_index: the compiler records each access as a CO-RE
// relocation by type and field name, and the kernel rewrites the offsets as it loads the
// programs, from its own BTF. So the layout here need not match any kernel: field order,
// padding and the missing fields do not matter, only names and kinds. Nothing here may be
// read other than through the CO-RE macros, or, in a bpf_loop callback, which the kernel
// does not relocate, through offsets that they gave.
#pragma once

#include <linux/bpf.h>
#include <linux/types.h>

#pragma clang attribute push(__attribute__((preserve_access_index)), apply_to = record)

typedef struct {
    int counter;
} atomic_t;

struct qstr {
    const unsigned char *name;
};

// pprev is null while the dentry is unhashed (d_unhashed).
struct hlist_bl_node {
    struct hlist_bl_node *next, **pprev;
};

struct dentry {
    struct dentry *d_parent;
    struct qstr d_name;
    struct hlist_bl_node d_hash;
};

struct vfsmount {
    struct dentry *mnt_root;
};

// The vfsmount is embedded in its struct mount: the mount is found from it with the
// CO-RE offset of `mnt`, the kernel's real_mount().
struct mount {
    struct mount *mnt_parent;
    struct dentry *mnt_mountpoint;
    struct vfsmount mnt;
};

struct path {
    struct vfsmount *mnt;
    struct dentry *dentry;
};

struct file {
    struct path f_path;
};

struct fs_struct {
    struct path root;
};

// CPU times are in ns; utime and stime are the ticks' split, sum_sched_runtime the whole of
// the threads that have been reaped; maxrss in pages.
struct signal_struct {
    atomic_t live;
    unsigned int flags;
    int group_exit_code;
    __u64 utime, stime, cutime, cstime;
    unsigned long long sum_sched_runtime;
    unsigned long maxrss, cmaxrss;
};

struct mm_struct {
    unsigned long arg_start, arg_end;
};

struct sched_entity {
    __u64 sum_exec_runtime;
};

struct pid_namespace;

struct upid {
    int nr;
    struct pid_namespace *ns;
};

// numbers[] is a flexible array of level + 1 entries; its offset and the entry size are
// taken from the kernel's BTF, not from this declaration.
struct pid {
    unsigned int level;
    struct upid numbers[1];
};

struct task_struct {
    unsigned int flags;
    int pid;
    int tgid;
    int exit_code;
    __u64 start_boottime;
    struct task_struct *real_parent;
    struct task_struct *group_leader;
    struct pid *thread_pid;
    struct fs_struct *fs;
    struct signal_struct *signal;
    struct mm_struct *mm;
    __u64 utime, stime;
    struct sched_entity se;
};

struct linux_binprm {
    struct file *file;
};

#pragma clang attribute pop
