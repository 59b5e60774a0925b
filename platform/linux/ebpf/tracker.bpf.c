// The kernel half of dorvane's eBPF tracker: follows the tree of one root process through
// the scheduler's fork, exec and exit tracepoints, keeps a record per tracked process and
// reports every change through a ring buffer.
#include "kernel.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "event.h"

#define SIGSTOP 19
#define SIGNAL_GROUP_EXIT 0x00000004
// Deepest pid namespace nesting the kernel allows.
#define MAXPIDLEVEL 32
// Steps of the path walk: components and mount crossings together. A path that needs more
// is reported truncated. Each step costs the verifier time at every start: 64 keep it short.
#define WALKSTEPS 64

// bpf_probe_read_kernel and bpf_probe_read_kernel_str are available to GPL programs only.
char LICENSE[] SEC("license") = "Dual MIT/GPL";

// Settings, filled in by user space before load and frozen as constants by it.
const volatile __u32 selfpid = 0;   // the tracker's pid in its own pid namespace
const volatile __u64 selfnsdev = 0; // st_dev of /proc/self/ns/pid
const volatile __u64 selfnsino = 0; // st_ino of /proc/self/ns/pid
const volatile __u32 follow = 1;    // 0: track the root alone (a negative control)

// State that user space reads through the skeleton's mapping of .bss.
__u32 level = 0; // pid namespace level of the tracker, found at the root's fork
__u32 rootfound = 0;
__s64 alive = 0; // tracked processes not ended yet
__u64 lost = 0;  // events the ring had no room for, and records no map had room for
// dorvane's own root, which paths are told from, as /proc/PID/exe tells them to dorvane,
// whatever root a task has (a chroot): the root's at its first exec, before it has run
// anything of its own, when it still has the one its fork copied from dorvane.
__u64 selfrootdentry = 0;
__u64 selfrootmnt = 0;

// Its size is set by user space before load.
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 256 * 1024);
} ring SEC(".maps");

// Allocated per entry, so memory follows the size of the tree.
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 65536);
    __type(key, __u32);
    __type(value, struct dorvanerecord);
} procs SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 4096);
    __type(key, __u64);
    __type(value, struct dorvanerecord);
} graves SEC(".maps");

// Ids given on each CPU so far: an id is the CPU's number and its count there, unique
// without an atomic that returns its result (BPF has those from kernel 5.12 only).
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} serials SEC(".maps");

// A record is too large for the 512-byte BPF stack: a new one is built here.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct dorvanerecord);
} scratch SEC(".maps");

// The pid of a task in the namespace `at` levels below the initial one. struct pid ends in
// a flexible array of struct upid, one per level: its offset and the entry size come from
// the running kernel's BTF.
static __always_inline __u32 nspid(struct task_struct *task, __u32 at)
{
    struct pid *pid = BPF_CORE_READ(task, thread_pid);
    int nr = 0;

    if (at > MAXPIDLEVEL)
        return 0;
    bpf_core_read(&nr, sizeof(nr),
                  (char *)pid + bpf_core_field_offset(struct pid, numbers) +
                      at * bpf_core_type_size(struct upid) +
                      bpf_core_field_offset(struct upid, nr));
    return nr;
}

// Whether the running task belongs to the user-space tracker. The helper answers only for a
// task in exactly that pid namespace, and fails for any other.
static __always_inline int isself(void)
{
    struct bpf_pidns_info ns = {};

    if (bpf_get_ns_current_pid_tgid(selfnsdev, selfnsino, &ns, sizeof(ns)))
        return 0;
    return ns.tgid == selfpid;
}

// A new event of the record's process, without image.
static __always_inline void emit(struct dorvaneevent *head)
{
    struct dorvaneevent event = *head;

    event.imagelength = 0;
    event.truncated = 0;
    if (bpf_ringbuf_output(&ring, &event, sizeof(event), 0))
        __sync_fetch_and_add(&lost, 1);
}

// Files the record under its tgid. The tgid may still hold an ended process whose EXIT event
// was lost and that user space has not taken yet: the kernel reused its pid. That record
// moves to the graves, under its id, which is never reused.
static __always_inline int insert(__u32 tgid, struct dorvanerecord *record)
{
    struct dorvanerecord *old;

    if (!bpf_map_update_elem(&procs, &tgid, record, BPF_NOEXIST))
        return 0;
    old = bpf_map_lookup_elem(&procs, &tgid);
    if (old && bpf_map_update_elem(&graves, &old->head.id, old, BPF_ANY))
        __sync_fetch_and_add(&lost, 1);
    return bpf_map_update_elem(&procs, &tgid, record, BPF_ANY);
}

// The wait(2) status of a process whose last thread is exiting. A group exit (exit_group,
// a fatal signal, an exec killing the other threads) stores the group's code in the signal
// struct; otherwise the status is that of the leader, even when the leader left first.
static __always_inline __u32 exitstatus(struct task_struct *task)
{
    if (BPF_CORE_READ(task, signal, flags) & SIGNAL_GROUP_EXIT)
        return BPF_CORE_READ(task, signal, group_exit_code);
    return BPF_CORE_READ(task, group_leader, exit_code);
}

// A program file that is no longer in the tree is named, as d_path names it, by its own
// name and " (deleted)": a pseudo file (a memfd: a dentry that is its own parent but no
// mount's root), which never was in the tree, by that alone at the top; an unlinked one
// (unhashed, and not its own parent) by that after the directories it was in. Returns the
// dentry the walk goes on from: the program's own while it is in the tree, the directory of
// an unlinked one, and none once the path is complete or cannot be told.
static __always_inline struct dentry *
walkdeleted(struct dorvanerecord *record, struct dentry *dentry, struct vfsmount *vfsmnt)
{
    struct dentry *up = BPF_CORE_READ(dentry, d_parent);
    int mountroot = dentry == BPF_CORE_READ(vfsmnt, mnt_root);

    if (up == dentry ? mountroot : BPF_CORE_READ(dentry, d_hash.pprev) != 0)
        return dentry;
    // An unlinked file mounted on its own would be named by its mountpoint: left untold.
    if (mountroot)
        return 0;
    long n = bpf_probe_read_kernel_str(record->image, DORVANECOMPONENT,
                                       BPF_CORE_READ(dentry, d_name.name));
    if (n <= 0)
        return 0;
    // In place of the name's NUL; the mask only shows the verifier the bound it has.
    __builtin_memcpy(&record->image[(n - 1) & (DORVANECOMPONENT - 1)], " (deleted)", 11);
    record->head.imagelength = n + 10;
    if (up != dentry)
        return up;
    record->head.truncated = 0;
    return 0;
}

// Collects the components of the task's program path, leaf first, into the record's image,
// walking the dentries up to dorvane's root as d_path does for dorvane: at the root dentry
// of a mount it goes on from the mountpoint in the parent mount. bpf_d_path is not allowed
// in tp_btf programs.
static __always_inline void walkpath(struct task_struct *task, struct dorvanerecord *record)
{
    __u64 mountoffset = bpf_core_field_offset(struct mount, mnt);
    struct dentry *rootdentry = (struct dentry *)selfrootdentry;
    struct vfsmount *rootmnt = (struct vfsmount *)selfrootmnt;
    struct file *exe = BPF_CORE_READ(task, mm, exe_file);
    struct dentry *dentry = BPF_CORE_READ(exe, f_path.dentry);
    struct vfsmount *vfsmnt = BPF_CORE_READ(exe, f_path.mnt);
    struct mount *mnt = (struct mount *)((char *)vfsmnt - mountoffset);

    record->head.imagelength = 0;
    record->head.truncated = 1;
    dentry = walkdeleted(record, dentry, vfsmnt);
    if (!dentry)
        return;
    for (int step = 0; step < WALKSTEPS; step++) {
        if (dentry == rootdentry && vfsmnt == rootmnt) {
            record->head.truncated = 0;
            return;
        }
        if (dentry == BPF_CORE_READ(vfsmnt, mnt_root)) {
            struct mount *parent = BPF_CORE_READ(mnt, mnt_parent);

            // The top mount of a namespace is its own parent.
            if (parent == mnt) {
                record->head.truncated = 0;
                return;
            }
            dentry = BPF_CORE_READ(mnt, mnt_mountpoint);
            mnt = parent;
            vfsmnt = (struct vfsmount *)((char *)parent + mountoffset);
            continue;
        }
        struct dentry *up = BPF_CORE_READ(dentry, d_parent);
        if (up == dentry) {
            record->head.truncated = 0;
            return;
        }
        // Read back through a volatile load of the map value, the length reaches the
        // verifier as an unknown bounded by the test below, the same in every step: the
        // states of consecutive steps then prune each other instead of multiplying.
        __u32 length = *(volatile __u16 *)&record->head.imagelength;
        if (length > DORVANEIMAGELIMIT)
            return;
        long n = bpf_probe_read_kernel_str(&record->image[length], DORVANECOMPONENT,
                                           BPF_CORE_READ(dentry, d_name.name));
        if (n <= 0)
            return;
        record->head.imagelength = length + n;
        dentry = up;
    }
}

SEC("tp_btf/sched_process_fork")
int BPF_PROG(dorvane_fork, struct task_struct *parent, struct task_struct *child)
{
    __u32 tgid = BPF_CORE_READ(child, tgid);
    __u32 parenttgid = BPF_CORE_READ(parent, tgid);
    struct dorvanerecord *from, *record;
    __u32 zero = 0;

    if (BPF_CORE_READ(child, pid) != tgid)
        return 0;
    record = bpf_map_lookup_elem(&scratch, &zero);
    if (!record)
        return 0;
    from = bpf_map_lookup_elem(&procs, &parenttgid);
    if (from && from->head.state == DORVANEALIVE) {
        if (!follow)
            return 0;
        // A child that does not exec runs its parent's program.
        bpf_probe_read_kernel(record, sizeof(*record), from);
        record->head.parentid = from->head.id;
        record->head.parentpid = from->head.pid;
        record->head.hold = 0;
    } else if (!rootfound && isself()) {
        record->head.parentid = 0;
        record->head.parentpid = 0;
        record->head.hold = 1;
        record->head.truncated = 0;
        record->head.imagelength = 0;
        level = BPF_CORE_READ(parent, thread_pid, level);
        rootfound = 1;
    } else {
        return 0;
    }
    __u64 *count = bpf_map_lookup_elem(&serials, &zero);
    if (!count)
        return 0;
    *count += 1;
    record->head.id = (__u64)bpf_get_smp_processor_id() << 48 | *count;
    record->head.created = bpf_ktime_get_ns();
    record->head.pid = nspid(child, level);
    record->head.status = 0;
    record->head.kind = DORVANEFORK;
    record->head.state = DORVANEALIVE;
    if (insert(tgid, record)) {
        __sync_fetch_and_add(&lost, 1);
        return 0;
    }
    __sync_fetch_and_add(&alive, 1);
    emit(&record->head);
    return 0;
}

SEC("tp_btf/sched_process_exec")
int BPF_PROG(dorvane_exec, struct task_struct *task, int oldpid, struct linux_binprm *bprm)
{
    __u32 tgid = BPF_CORE_READ(task, tgid);
    struct dorvanerecord *record = bpf_map_lookup_elem(&procs, &tgid);
    struct dorvanerecord *fresh;
    __u32 zero = 0;
    __u64 length;
    __u8 hold;

    if (!record || record->head.state != DORVANEALIVE)
        return 0;
    // The new record is made aside and then replaces the old one whole: user space may be
    // reading the map meanwhile, and must never see a path half walked.
    fresh = bpf_map_lookup_elem(&scratch, &zero);
    if (!fresh)
        return 0;
    fresh->head = record->head;
    if (fresh->head.hold) {
        selfrootdentry = (__u64)BPF_CORE_READ(task, fs, root.dentry);
        selfrootmnt = (__u64)BPF_CORE_READ(task, fs, root.mnt);
    }
    walkpath(task, fresh);
    // Read again after the walk: a value known from the branch above and kept across it
    // would have the verifier go through the walk once for each.
    hold = *(volatile __u8 *)&fresh->head.hold;
    fresh->head.hold = 0;
    fresh->head.kind = DORVANEEXEC;
    bpf_map_update_elem(&procs, &tgid, fresh, BPF_EXIST);
    length = fresh->head.imagelength;
    // Otherwise clang tests a masked copy of the register it passes, and the verifier,
    // which cannot tie the two, sees an unbounded size.
    barrier_var(length);
    if (length <= DORVANEIMAGESIZE &&
        bpf_ringbuf_output(&ring, fresh, sizeof(fresh->head) + length, 0))
        __sync_fetch_and_add(&lost, 1);
    // The signal is pending when the task returns to user space from execve, so it stops
    // before the first instruction of its new program.
    if (hold)
        bpf_send_signal(SIGSTOP);
    return 0;
}

SEC("tp_btf/sched_process_exit")
int BPF_PROG(dorvane_exit, struct task_struct *task)
{
    __u32 tgid = BPF_CORE_READ(task, tgid);
    struct dorvanerecord *record;
    struct dorvaneevent *event;
    __u32 status, zero = 0;

    // Every thread passes here; `live` has already been decremented, so it is 0 only for
    // the last thread of the group.
    if (BPF_CORE_READ(task, signal, live.counter) != 0)
        return 0;
    record = bpf_map_lookup_elem(&procs, &tgid);
    if (!record || record->head.state != DORVANEALIVE)
        return 0;
    status = exitstatus(task);
    event = bpf_ringbuf_reserve(&ring, sizeof(*event), 0);
    if (!event) {
        // The ended record stays for user space to find, replaced whole, as at an exec.
        struct dorvanerecord *ended = bpf_map_lookup_elem(&scratch, &zero);

        if (ended) {
            bpf_probe_read_kernel(ended, sizeof(*ended), record);
            ended->head.status = status;
            ended->head.kind = DORVANEEXIT;
            ended->head.state = DORVANEENDED;
            bpf_map_update_elem(&procs, &tgid, ended, BPF_EXIST);
        }
        __sync_fetch_and_add(&lost, 1);
        __sync_fetch_and_add(&alive, -1);
        return 0;
    }
    *event = record->head;
    event->status = status;
    event->state = DORVANEENDED;
    event->kind = DORVANEEXIT;
    event->imagelength = 0;
    event->truncated = 0;
    // The record goes before the event can be read, so a reader of the map, to whom it
    // reads as alive until then, never takes up a process whose end the ring carries.
    bpf_map_delete_elem(&procs, &tgid);
    bpf_ringbuf_submit(event, 0);
    __sync_fetch_and_add(&alive, -1);
    return 0;
}
