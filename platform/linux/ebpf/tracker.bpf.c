// The kernel half of dorvane's eBPF tracker: follows the tree of one root process through
// the scheduler's fork, exec and exit tracepoints, keeps a record per tracked process and
// tells every change of it, through a ring buffer while it has room.
//
// What makes every process come out once, named, and ended with its code, whatever the ring,
// the tables and pid reuse do:
// - A tracked process has one record, reached from any of its threads by recordof() alone:
//   with its task in `procs` while it has one thread, in `threaded` by tgid (each thread then
//   holding a link in `procs`) from the moment its second thread is made, before that runs.
// - A record names its process by an id that no other process of the load has, rising with
//   each fork (a child's above its creator's), and names its creator by the creator's id.
//   Every change sends the whole record, so any one change tells who it is about; a pid
//   tells nothing on its own, since it is another process's once this one has been reaped.
// - Each change goes to the ring while it has room; once one has not found room, that
//   process's changes all go to `held` (its record as it is now) from then on. So for every
//   process the ring tells a beginning of its history in order, and `held` the rest. `held`
//   keeps the program of the first exec (which names the process) and of the latest (which
//   later children inherit) in `heldimages`; `execs`, `parentexecs` and `forkedfirst` tell
//   the reader which program each child inherited and when each process was named.
// - A process's end is claimed once, and told before `alive` comes down for it: `alive`
//   counts the processes whose end is still to be told. A reader that finds it 0 has every
//   end told.
// - Nothing that a table could not keep is given up in silence. A process whose record could
//   not be kept or moved is stranded: told so (with its pid and start time, which name it
//   while it lives), no longer counted in `alive`, and its children still followed where its
//   record is still reached; user space waits for it itself. A change that neither the ring
//   nor `held` could take is counted in `unreported`.
// - The doorbell rings for what the ring does not wake the reader for: a change kept in
//   `held`, and the tree's last end.
#include "kernel.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "event.h"

#define SIGCONT 18
#define SIGSTOP 19
#define SIGNAL_GROUP_EXIT 0x00000004
// Deepest pid namespace nesting the kernel allows.
#define MAXPIDLEVEL 32
// Steps of the path walk: components and mount crossings together. A path that needs more
// is reported truncated; the collected bytes run out first for any path of one mount.
#define WALKSTEPS 1024

// bpf_probe_read_kernel and bpf_probe_read_kernel_str are available to GPL programs only.
char LICENSE[] SEC("license") = "Dual MIT/GPL";

// Settings, filled in by user space before load and frozen as constants by it.
const volatile __u32 selfpid = 0;    // the tracker's pid in its own pid namespace
const volatile __u64 selfnsdev = 0;  // st_dev of /proc/self/ns/pid
const volatile __u64 selfnsino = 0;  // st_ino of /proc/self/ns/pid
const volatile __u32 follow = 1;     // 0: track the root alone (a negative control)
const volatile __u32 withrecord = 0; // 1: gather the arguments and usage the record asks for

// State that user space reads through the skeleton's mapping of .bss.
__u32 level = 0; // pid namespace level of the tracker, found at the root's fork
__u32 rootfound = 0;
__s64 alive = 0;      // tracked processes whose end is still to be told
__u64 lost = 0;       // writes to `held`, where what the ring had no room for waits
__u64 unreported = 0; // processes with a change that neither the ring nor `held` could take
__u64 lastid = 0;     // the id given last
// The root's hold: whether it has exec'd and been sent the stop, and the tracker's tgid in
// the initial pid namespace, found at the root's fork, which is the root's parent's while
// the tracker lives.
__u32 rootheld = 0;
__u32 selftgid = 0;
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

// Rung when the ring alone would not wake the reader: the tree's last process has ended
// (its end was told before `alive` came down), or a change went to `held`. One byte waiting
// is enough for any number of rings: the reader empties it, then reads.
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 4096);
} doorbell SEC(".maps");

// The record of each tracked process with one thread, kept with its task; a link on each
// thread of one with more. Task storage takes no table made up front, grows with the tree
// alone whatever pid_max is, goes with the task, and costs a task outside every tree one
// lookup, whatever the tree holds.
struct {
    __uint(type, BPF_MAP_TYPE_TASK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct dorvaneevent);
} procs SEC(".maps");

// The program a task of the tree exec'd, walked in place (no reader outside the kernel sees
// it) and sent from there; kept for its next exec until the task ends.
struct {
    __uint(type, BPF_MAP_TYPE_TASK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct dorvanerecord);
} execs SEC(".maps");

// An exec's change with its image and its arguments, made up for one ring message: one per
// CPU (the tracepoints run with preemption off). Its size is set by user space before load,
// to the CPUs' count when the record is asked for, else to one that is never used.
struct dorvanesend {
    struct dorvaneevent head;
    char bytes[DORVANEIMAGESIZE + DORVANEARGSLIMIT];
};

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct dorvanesend);
} sending SEC(".maps");

// The records of processes with more than one thread, by tgid, where any of their threads
// finds them (with the leader's task, each would have to load the leader, and each load of
// a task pointer costs the verifier searches of all the kernel's types at every start).
// Tries allocate per entry and make no table up front, so the bound costs nothing until
// used. So do `held` and `heldimages`, which keep what the ring had no room for, by id.
struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, DORVANEHELDLIMIT);
    __type(key, struct dorvanetgidkey);
    __type(value, struct dorvaneevent);
} threaded SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, DORVANEHELDLIMIT);
    __type(key, struct dorvaneheldkey);
    __type(value, struct dorvaneevent);
} held SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, DORVANEHELDLIMIT);
    __type(key, struct dorvaneimagekey);
    __type(value, struct dorvanerecord);
} heldimages SEC(".maps");

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

// Wakes the reader, unless a ring is waiting for it already.
static __always_inline void ringdoorbell(void)
{
    __u8 ring = 1;

    if (!bpf_ringbuf_query(&doorbell, BPF_RB_AVAIL_DATA))
        bpf_ringbuf_output(&doorbell, &ring, sizeof(ring), BPF_RB_FORCE_WAKEUP);
}

// One process of the tree fewer; after the last, the reader is woken to find none alive.
static __always_inline void leavetree(void)
{
    if (__sync_fetch_and_add(&alive, -1) == 1)
        ringdoorbell();
}

// The record of the task's process, if it is tracked.
static __always_inline struct dorvaneevent *recordof(struct task_struct *task)
{
    struct dorvaneevent *record = bpf_task_storage_get(&procs, task, 0, 0);
    struct dorvanetgidkey key = {32, 0};

    if (!record || !record->link)
        return record;
    key.tgid = task->tgid;
    return bpf_map_lookup_elem(&threaded, &key);
}

// A change of the process that could not be kept: what the reader is told of it lacks it.
static __always_inline void drop(struct dorvaneevent *record)
{
    if (!record->dropped) {
        record->dropped = 1;
        __sync_fetch_and_add(&unreported, 1);
    }
}

// The image of an exec that the ring had no room for: the first names the process, the
// latest is what its children inherit; those between concern no one the reader will see.
static __always_inline void keepimage(struct dorvaneevent *record, struct dorvanerecord *exec)
{
    __u32 which = record->execs == 1 ? DORVANEFIRST : DORVANELATEST;
    struct dorvaneimagekey key = {96, (__u32)record->id, (__u32)(record->id >> 32), which};

    exec->head = *record;
    if (bpf_map_update_elem(&heldimages, &key, exec, BPF_ANY))
        drop(record);
    else
        record->heldimages |= which;
}

// Tells a change of the process, with the image of its exec if any (and its arguments, made
// up in send with them): through the ring while it has room, else kept in `held`, where the
// arguments are not kept.
static __always_inline void tell(struct dorvaneevent *record, struct dorvanerecord *exec,
                                 struct dorvanesend *send)
{
    struct dorvaneheldkey key = {64, (__u32)record->id, (__u32)(record->id >> 32)};
    __u64 length = record->imagelength, withargs = length + record->argslength;

    // Otherwise clang tests a masked copy of the register it passes, and the verifier,
    // which cannot tie the two, sees an unbounded size.
    barrier_var(length);
    barrier_var(withargs);
    record->seq++;
    record->at = bpf_ktime_get_ns();
    if (!record->held) {
        if (send) {
            send->head = *record;
            record->hasargs = 0;
            if (withargs <= sizeof(send->bytes) &&
                !bpf_ringbuf_output(&ring, send, sizeof(send->head) + withargs, 0))
                return;
        } else if (exec) {
            exec->head = *record;
            if (length <= DORVANEIMAGESIZE &&
                !bpf_ringbuf_output(&ring, exec, sizeof(exec->head) + length, 0))
                return;
        } else if (!bpf_ringbuf_output(&ring, record, sizeof(*record), 0)) {
            return;
        }
        record->held = 1;
    }
    record->hasargs = 0;
    if (exec)
        keepimage(record, exec);
    if (bpf_map_update_elem(&held, &key, record, BPF_ANY))
        drop(record);
    __sync_fetch_and_add(&lost, 1);
    ringdoorbell();
}

// The kernel half cannot follow the process further: it is told so, once, and counted alive
// here no more. Its end is user space's to see.
static __always_inline void strand(struct dorvaneevent *record)
{
    if (__sync_val_compare_and_swap(&record->state, DORVANEALIVE, DORVANESTRANDED) !=
        DORVANEALIVE)
        return;
    record->kind = DORVANESTRAND;
    tell(record, 0, 0);
    leavetree();
}

// The process makes another thread, which has not run yet. At its second, its record moves
// to `threaded`; each thread gets a link to it, since any may fork, exec or leave last.
// Without room for either, the process is stranded; its record stays where its threads with
// a link, or its leader, still find it.
static __always_inline void addthread(struct task_struct *creator, struct task_struct *thread)
{
    struct dorvaneevent *entry = bpf_task_storage_get(&procs, creator, 0, 0), *link;
    struct dorvanetgidkey key = {32, creator->tgid};

    if (!entry)
        return;
    if (!entry->link) {
        if (bpf_map_update_elem(&threaded, &key, entry, BPF_ANY)) {
            strand(entry);
            return;
        }
        entry->link = 1;
    }
    link = bpf_task_storage_get(&procs, thread, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
    if (link)
        link->link = 1;
    else if ((entry = bpf_map_lookup_elem(&threaded, &key)))
        strand(entry);
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

// Where the walk of a path stands between its steps, and the offsets of the fields it reads.
// The kernel relocates reads of its types in the programs themselves but not in a callback:
// the offsets come from the program, and the callback reads through them.
struct walk {
    struct dorvanerecord *record;
    struct dentry *dentry;
    struct vfsmount *vfsmnt;
    struct mount *mnt;
    __u64 mountroot, parent, name, mountparent, mountpoint, mountmnt;
};

// The pointer at offset in the kernel object at; null if it cannot be read.
static __always_inline void *readpointer(void *at, __u64 offset)
{
    void *p = 0;

    bpf_probe_read_kernel(&p, sizeof(p), (char *)at + offset);
    return p;
}

// One step of the walk up: a component collected, or a mount crossed. Returns 1 once the
// walk is over, whole (truncated cleared) or cut short.
static long walkstep(__u32 index, void *context)
{
    struct walk *at = context;
    struct dorvanerecord *record = at->record;
    struct dentry *dentry = at->dentry;

    if (dentry == (struct dentry *)selfrootdentry &&
        at->vfsmnt == (struct vfsmount *)selfrootmnt) {
        record->head.truncated = 0;
        return 1;
    }
    if (dentry == readpointer(at->vfsmnt, at->mountroot)) {
        struct mount *parent = readpointer(at->mnt, at->mountparent);

        // The top mount of a namespace is its own parent.
        if (parent == at->mnt) {
            record->head.truncated = 0;
            return 1;
        }
        at->dentry = readpointer(at->mnt, at->mountpoint);
        at->mnt = parent;
        at->vfsmnt = (struct vfsmount *)((char *)parent + at->mountmnt);
        return 0;
    }
    struct dentry *up = readpointer(dentry, at->parent);
    if (up == dentry) {
        record->head.truncated = 0;
        return 1;
    }
    __u32 length = record->head.imagelength;
    if (length > DORVANEIMAGELIMIT)
        return 1;
    long n = bpf_probe_read_kernel_str(&record->image[length], DORVANECOMPONENT,
                                       readpointer(dentry, at->name));
    if (n <= 0)
        return 1;
    record->head.imagelength = length + n;
    at->dentry = up;
    return 0;
}

// Collects the components of the path of the program file exe, leaf first, into the
// record's image, walking the dentries up to dorvane's root as d_path does for dorvane: at
// the root dentry of a mount it goes on from the mountpoint in the parent mount. bpf_d_path
// is not allowed in tp_btf programs. The steps run in bpf_loop, which the verifier goes
// through once, where each step written out would cost it time at every start.
static __always_inline void walkpath(struct file *exe, struct dorvanerecord *record)
{
    struct vfsmount *vfsmnt = BPF_CORE_READ(exe, f_path.mnt);
    struct walk at = {
        .record = record,
        .vfsmnt = vfsmnt,
        .mnt = (struct mount *)((char *)vfsmnt - bpf_core_field_offset(struct mount, mnt)),
        .mountroot = bpf_core_field_offset(struct vfsmount, mnt_root),
        .parent = bpf_core_field_offset(struct dentry, d_parent),
        .name = bpf_core_field_offset(struct dentry, d_name.name),
        .mountparent = bpf_core_field_offset(struct mount, mnt_parent),
        .mountpoint = bpf_core_field_offset(struct mount, mnt_mountpoint),
        .mountmnt = bpf_core_field_offset(struct mount, mnt),
    };

    record->head.imagelength = 0;
    record->head.truncated = 1;
    at.dentry = walkdeleted(record, BPF_CORE_READ(exe, f_path.dentry), vfsmnt);
    if (at.dentry)
        bpf_loop(WALKSTEPS, walkstep, &at, 0);
}

// The exec's change made up with its image and its arguments, which the exec has just put in
// the new program's memory; null if they cannot be sent (with the image alone, then).
static __always_inline struct dorvanesend *
withargs(struct task_struct *task, struct dorvaneevent *record, struct dorvanerecord *exec)
{
    __u32 cpu = bpf_get_smp_processor_id();
    struct dorvanesend *send = bpf_map_lookup_elem(&sending, &cpu);
    struct mm_struct *mm = BPF_CORE_READ(task, mm);
    __u64 start = BPF_CORE_READ(mm, arg_start), length = BPF_CORE_READ(mm, arg_end) - start;
    __u64 image = record->imagelength;

    barrier_var(length);
    barrier_var(image);
    if (!send || !exec || length > DORVANEARGSLIMIT || image > DORVANEIMAGESIZE ||
        bpf_probe_read_kernel(send->bytes, image, exec->image) ||
        bpf_probe_read_user(send->bytes + image, length, (void *)start))
        return 0;
    record->hasargs = 1;
    record->argslength = length;
    return send;
}

// The CPU time of the process whose last thread is leaving, as its parent's wait will tell
// it: the threads reaped so far, this one and the leader (which is reaped after it), split
// between user and system in the ticks' proportion, as the kernel does, then the children
// it waited for; and its peak resident memory, or its children's if higher.
static __always_inline void usage(struct task_struct *task, struct dorvaneevent *record)
{
    struct signal_struct *signal = BPF_CORE_READ(task, signal);
    struct task_struct *leader = BPF_CORE_READ(task, group_leader);
    __u64 user = BPF_CORE_READ(signal, utime) + BPF_CORE_READ(task, utime);
    __u64 system = BPF_CORE_READ(signal, stime) + BPF_CORE_READ(task, stime);
    __u64 runtime =
        BPF_CORE_READ(signal, sum_sched_runtime) + BPF_CORE_READ(task, se.sum_exec_runtime);
    __u64 maxrss = BPF_CORE_READ(signal, maxrss), children = BPF_CORE_READ(signal, cmaxrss);
    __u64 ticks, part, scaled;
    int shift = 0;

    if (leader != task) {
        user += BPF_CORE_READ(leader, utime);
        system += BPF_CORE_READ(leader, stime);
        runtime += BPF_CORE_READ(leader, se.sum_exec_runtime);
    }
    // runtime * system / (user + system), in 64 bits: each factor brought under 2^32.
    ticks = user + system;
    part = system;
    scaled = runtime;
    for (int i = 0; i < 64 && ticks > 0xffffffffull; i++) {
        ticks >>= 1;
        part >>= 1;
    }
    for (int i = 0; i < 64 && scaled > 0xffffffffull; i++) {
        scaled >>= 1;
        shift++;
    }
    if (user && system)
        system = (scaled * part / ticks) << (shift & 63);
    else if (system)
        system = runtime;
    record->system = BPF_CORE_READ(signal, cstime) + system;
    record->user = BPF_CORE_READ(signal, cutime) + (runtime - system);
    record->maxrss = maxrss > children ? maxrss : children;
}

SEC("tp_btf/sched_process_fork")
int BPF_PROG(dorvane_fork, struct task_struct *parent, struct task_struct *child)
{
    struct dorvaneevent *from, *record, lone = {};

    if (child->pid != child->tgid) {
        addthread(parent, child);
        return 0;
    }
    from = recordof(parent);
    if (from && from->state != DORVANEENDED) {
        if (!follow)
            return 0;
        // Without room for its record, the child is told stranded, from the stack.
        record = bpf_task_storage_get(&procs, child, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
        if (!record)
            record = &lone;
        record->parentid = from->id;
        record->parentpid = from->pid;
        record->parentexecs = from->execs;
        __sync_fetch_and_add(&from->forks, 1);
        if (!from->execs)
            from->forkedfirst = 1;
    } else if (!rootfound && isself()) {
        record = bpf_task_storage_get(&procs, child, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
        if (!record)
            return 0; // the root's start fails, and says so
        record->hold = 1;
        level = BPF_CORE_READ(parent, thread_pid, level);
        selftgid = BPF_CORE_READ(parent, tgid);
        rootfound = 1;
    } else {
        return 0;
    }
    record->id = __sync_add_and_fetch(&lastid, 1);
    record->created = bpf_ktime_get_ns();
    record->started = BPF_CORE_READ(child, start_boottime);
    record->pid = nspid(child, level);
    if (record == &lone) {
        record->kind = DORVANESTRAND;
        record->state = DORVANESTRANDED;
    } else {
        record->kind = DORVANEFORK;
        record->state = DORVANEALIVE;
        __sync_fetch_and_add(&alive, 1);
    }
    tell(record, 0, 0);
    return 0;
}

SEC("tp_btf/sched_process_exec")
int BPF_PROG(dorvane_exec, struct task_struct *task, int oldpid, struct linux_binprm *bprm)
{
    // An exec leaves one thread, the leader.
    struct dorvaneevent *record = recordof(task);
    struct dorvanerecord *exec;
    __u8 hold;

    if (!record || record->state == DORVANEENDED)
        return 0;
    if (record->hold) {
        selfrootdentry = (__u64)BPF_CORE_READ(task, fs, root.dentry);
        selfrootmnt = (__u64)BPF_CORE_READ(task, fs, root.mnt);
    }
    record->execs++;
    exec = bpf_task_storage_get(&execs, task, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
    if (exec) {
        // From the file the exec runs, which becomes the process's exe_file (an
        // interpreter's, for a script): read from the exec, it spares the kernel the
        // relocation of one more of its types, the memory map's, at every start.
        walkpath(BPF_CORE_READ(bprm, file), exec);
        record->imagelength = exec->head.imagelength;
        record->truncated = exec->head.truncated;
    } else {
        record->imagelength = 0;
        record->truncated = DORVANENOIMAGE;
        drop(record);
    }
    hold = record->hold;
    record->hold = 0;
    record->kind = DORVANEEXEC;
    tell(record, exec, withrecord ? withargs(task, record, exec) : 0);
    // The signal is pending when the task returns to user space from execve, so it stops
    // before the first instruction of its new program.
    if (hold) {
        rootheld = 1;
        bpf_send_signal(SIGSTOP);
        // Should dorvane have died since it let the root go, the continue that its watch
        // sends once it is gone may have come before this stop. Read after the stop was
        // sent (both take the root's signal lock): a parent that is still dorvane here has
        // not yet given the root to another, and that continue is still to come.
        if (BPF_CORE_READ(task, real_parent, tgid) != selftgid)
            bpf_send_signal(SIGCONT); // a continue takes back a stop still pending
    }
    return 0;
}

SEC("tp_btf/sched_process_exit")
int BPF_PROG(dorvane_exit, struct task_struct *task)
{
    struct dorvaneevent *entry = bpf_task_storage_get(&procs, task, 0, 0), *record = entry;
    struct dorvanetgidkey key = {32, task->tgid};

    if (!entry)
        return 0;
    // Every thread passes here, each after its own decrement of `live`: the last to leave
    // reads 0, but threads that leave together can all read it. The others only leave.
    if (BPF_CORE_READ(task, signal, live.counter) == 0) {
        if (entry->link)
            record = bpf_map_lookup_elem(&threaded, &key);
        // So the end is claimed: one compare-and-swap, which one thread alone wins.
        if (record && __sync_val_compare_and_swap(&record->state, DORVANEALIVE, DORVANEENDED) ==
                          DORVANEALIVE) {
            record->status = exitstatus(task);
            record->kind = DORVANEEXIT;
            if (withrecord)
                usage(task, record);
            tell(record, 0, 0);
            // Last, so that a reader who finds none alive finds every end told.
            leavetree();
        }
        if (entry->link)
            bpf_map_delete_elem(&threaded, &key);
    }
    bpf_task_storage_delete(&procs, task);
    bpf_task_storage_delete(&execs, task);
    return 0;
}
