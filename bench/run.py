#!/usr/bin/env python3
"""Benchmarks of dorvane. Each workload runs unsupervised (A), under dorvane's ptrace
tracker (P), under its eBPF tracker (E) and under strace following the tree with no
output of its own (S), in rounds A P E S A P E S ..., after a warm-up of each, and the
figures are printed side by side: median wall times, and per configuration the median of
the rounds' wall ratios to A. Then, from separate untimed runs that sample them, dorvane's
peak resident memory, its most open descriptors and, under eBPF, the most that its maps
hold in the kernel; how many processes each tracker reported, checked to be each once new
and once ended with the planned exit code; and the cross-check: both trackers report the
same processes, programs and codes. Then start-up: dorvane /bin/true under each tracker
against /bin/true alone and under strace, alternating in each round; the release binary's
size and the libraries it links; and dorvane's peak RSS through such a run. Then latency,
per tracker: how long after a lone child's reap its end line arrives, and how long after
the root's last moment the run ends; and sh -c '/bin/true; sleep 0.02' alone and under
each. Last, for the eBPF tracker: a reader that stalls (dorvane stopped through a storm of
60,000 processes, its output unread until the end), with the processes reported against
those run and the most its maps held in the kernel; and what idle instances cost everyone
else: their kernel memory, their programs' time per event outside the tree (bpf_stats),
and a spawn storm outside beside them. Then scale, as root: runs of 10,000 and 200,000
short processes with pids that rise throughout, under each tracker, with dorvane's own CPU
time per process and its peak RSS. Then the record: the storm of 4,000 and the fan-out
under each tracker with --json and --trace and without them, side by side, and the ratio.
Output goes to files or, where lines are timed, a pipe, so terminal speed is not measured.

With --windows, the spawn storm and the fan-out run under dorvane.exe in Wine instead, for
counts and correctness only: Wine's timings say nothing about Windows.

usage: bench/run.py [--pairs N] [--only NAME ...] [--windows]
NAME is a workload of the table (e.g. 'gcc -c') or startup, latency, stalled, instances,
scale, record.
"""
import argparse
import collections
import contextlib
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no build output in the source tree
sys.path.insert(0, os.path.join(TOP, 'tests'))
from harness import Report, letgo, zombie  # noqa: E402


def build(preset):
    for step in (['cmake', '--preset', preset], ['cmake', '--build', '--preset', preset]):
        subprocess.run(step, cwd=TOP, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(TOP, 'build', preset)


def makeproject(folder, files=200):
    """A project of small C files and a makefile that builds them into one program."""
    os.makedirs(folder, exist_ok=True)
    for i in range(files):
        with open(os.path.join(folder, 'unit%03d.c' % i), 'w') as f:
            f.write('int f%d(int x) { int s = 0; for (int i = 0; i < x; i++) s += i * %d; '
                    'return s; }\n' % (i, i + 1))
    with open(os.path.join(folder, 'main.c'), 'w') as f:
        f.write('int main(void) { return 0; }\n')
    objects = ' '.join('unit%03d.o' % i for i in range(files))
    with open(os.path.join(folder, 'Makefile'), 'w') as f:
        f.write('prog: main.o %s\n\tcc -o $@ $^\n%%.o: %%.c\n\tcc -O1 -c -o $@ $<\n'
                'clean:\n\trm -f *.o prog\n' % objects)
    return folder


def plan(n, codes):
    """Exit codes of a `many` workload: child i ends with i % codes, the root with 0."""
    planned = collections.Counter(i % codes for i in range(n))
    planned[0] += 1
    return planned


def workloads(workloads_exe):
    """name -> (command, processes expected or None, exit codes planned or None)"""
    def storm(n):
        return ['/bin/sh', '-c', 'i=0; while [ $i -lt %d ]; do /bin/true; i=$((i+1)); done' % n]

    build = ['/bin/sh', '-c', 'make -s clean && make -s -j2']
    return collections.OrderedDict([
        ('spawn storm', (storm(1000), 1001, collections.Counter({0: 1001}))),
        ('storm 4000', (storm(4000), 4001, collections.Counter({0: 4001}))),
        ('fan-out', ([workloads_exe, 'fanout', '1000'], 1001, plan(1000, 1))),
        ('deep chain', ([workloads_exe, 'chain', '500'], 500, collections.Counter({0: 500}))),
        ('threads', ([workloads_exe, 'threads', '2000'], 1, collections.Counter({0: 1}))),
        ('real build', (build, None, None)),
        ('gcc -c', (['cc', '-O1', '-c', 'unit000.c', '-o', 'single.o'], None, None)),
        ('long run', ([workloads_exe, 'many', '40000', '2', '251'], 40001, plan(40000, 251))),
    ])


def measure(argv, cwd, out, env=None):
    """One timed run: wall seconds and CPU seconds of it and all it reaped."""
    with open(out, 'wb') as sink:
        started = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=sink, stderr=subprocess.DEVNULL, cwd=cwd, env=env)
        _, _, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - started
    return wall, usage.ru_utime + usage.ru_stime


def mapbytes(pid):
    """What the eBPF maps that a process holds take in the kernel, by their fdinfo."""
    total = 0
    for fd in os.listdir('/proc/%d/fdinfo' % pid):
        with open('/proc/%d/fdinfo/%s' % (pid, fd)) as f:
            info = f.read()
        if 'map_type:' in info:
            for line in info.splitlines():
                if line.startswith('memlock:'):
                    total += int(line.split()[1])
    return total


def watch(argv, cwd, out, env):
    """An untimed run that samples dorvane's peak RSS (kB), open descriptors and map bytes."""
    rss = fds = maps = 0
    with open(out, 'wb') as sink:
        proc = subprocess.Popen(argv, stdout=sink, stderr=subprocess.DEVNULL, cwd=cwd, env=env)
        while proc.poll() is None:
            try:
                with open('/proc/%d/status' % proc.pid) as f:
                    for line in f:
                        if line.startswith('VmHWM:'):
                            rss = max(rss, int(line.split()[1]))
                fds = max(fds, len(os.listdir('/proc/%d/fdinfo' % proc.pid)))
                maps = max(maps, mapbytes(proc.pid))
            except OSError:
                pass
            time.sleep(0.02)
    return rss, fds, maps


def report(out):
    with open(out, 'rb') as f:
        return Report(f.read())


def verdict(t, expected, planned):
    faults = list(t.faults[:3])
    if expected is not None and len(t.procs) != expected:
        faults.append('%d processes reported, %d expected' % (len(t.procs), expected))
    if planned is not None and t.code_counts() != planned:
        faults.append('exit codes differ from the plan')
    return '; '.join(faults) or 'ok'


def crosscheck(p, e):
    """Whether both trackers reported the same processes, programs and codes."""
    faults = []
    if len(p.procs) != len(e.procs):
        faults.append('%d against %d processes' % (len(p.procs), len(e.procs)))
    if p.code_counts() != e.code_counts():
        faults.append('codes differ')
    pi, ei = p.image_counts(), e.image_counts()
    if pi != ei:
        faults.append('programs differ: %r' % ((pi - ei) + (ei - pi)))
    return '; '.join(faults) or 'same'


TRACKERS = (('P', 'ptrace'), ('E', 'ebpf'))


def linux(opts):
    release = build('release')
    dorvane = os.path.join(release, 'dorvane')
    strace = shutil.which('strace')
    work = tempfile.mkdtemp(prefix='dorvane-bench-')
    project = makeproject(os.path.join(work, 'project'))
    out = os.path.join(work, 'out')
    envs = {name: dict(os.environ, DORVANE_TRACKER=tracker) for name, tracker in TRACKERS}
    exe = os.path.join(release, 'bench', 'workloads')
    chosen = [(name, w) for name, w in workloads(exe).items()
              if not opts.only or name in opts.only]
    if chosen:
        print('%-12s %8s %8s %8s %8s %7s %7s %7s  %s' % (
            'workload', 'A wall', 'P wall', 'E wall', 'S wall', 'P/A', 'E/A', 'S/A',
            'cpu A/P/E'))
    details, peaks = [], {}
    for name, (command, expected, planned) in chosen:
        cwd = project if name in ('real build', 'gcc -c') else work
        configs = [('A', command, None)] + [(n, [dorvane] + command, envs[n]) for n, _ in
                                             TRACKERS]
        if strace:
            configs.append(('S', [strace, '-f', '-q', '-e', 'trace=none', '-e', 'signal=none',
                                  '-o', out + '.strace'] + command, None))
        for config in configs:
            measure(config[1], cwd, out, config[2])
        times = collections.defaultdict(list)
        for _ in range(opts.pairs):
            for label, argv, env in configs:
                times[label].append(measure(argv, cwd, out, env))
        wall = {k: statistics.median(x[0] for x in v) for k, v in times.items()}
        cpu = {k: statistics.median(x[1] for x in v) for k, v in times.items()}
        ratio = {k: statistics.median(y[0] / x[0] for x, y in zip(times['A'], v))
                 for k, v in times.items()}
        print('%-12s %7.3fs %7.3fs %7.3fs %7s %6.3fx %6.3fx %7s  %.2f/%.2f/%.2f s' % (
            name, wall['A'], wall['P'], wall['E'],
            '%.3fs' % wall['S'] if 'S' in wall else '-', ratio['P'], ratio['E'],
            '%.3fx' % ratio['S'] if 'S' in ratio else '-', cpu['A'], cpu['P'], cpu['E']),
            flush=True)
        tallies = {}
        for label, tracker in TRACKERS:
            rss, fds, maps = watch([dorvane] + command, cwd, out, envs[label])
            tallies[label] = report(out)
            peaks[(label, name)] = (rss, len(tallies[label].procs))
            details.append('  %-12s %-6s peak RSS %6d kB, %2d fds, maps %7d kB, %6d processes: '
                           '%s' % (name, tracker, rss, fds, maps // 1024,
                                   len(tallies[label].procs),
                                   verdict(tallies[label], expected, planned)))
        details.append('  %-12s cross-check: %s' % (name, crosscheck(tallies['P'], tallies['E'])))
    if details:
        print('\n'.join(details))
    for label, tracker in TRACKERS:
        if (label, 'long run') in peaks and (label, 'spawn storm') in peaks:
            (big, many), (small, few) = peaks[(label, 'long run')], peaks[(label, 'spawn storm')]
            print('%s: memory growth %.0f bytes per process (peak RSS, long run against spawn '
                  'storm)' % (tracker, (big - small) * 1024.0 / (many - few)))
    if not opts.only or 'startup' in opts.only:
        startup(dorvane, exe, envs, strace, work, out)
    if not opts.only or 'latency' in opts.only:
        latency(dorvane, exe, envs, work, out)
    if not opts.only or 'stalled' in opts.only:
        stalled(dorvane, exe, work, envs['E'])
    if not opts.only or 'instances' in opts.only:
        instances(dorvane, exe, work, envs['E'])
    if not opts.only or 'scale' in opts.only:
        scale(dorvane, exe, envs, work)
    if not opts.only or 'record' in opts.only:
        record(dorvane, exe, envs, work, opts.pairs)
    shutil.rmtree(work, ignore_errors=True)


def stalled(dorvane, workloads_exe, work, env, n=60000):
    """dorvane stopped from the root's start until the storm's end, then its output read."""
    proc = subprocess.Popen([dorvane, workloads_exe, 'many', str(n), '8', '251'], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=work, bufsize=0)
    head, root = letgo(proc)
    proc.send_signal(signal.SIGSTOP)
    peak, started = 0, time.perf_counter()
    while not zombie(root) and time.perf_counter() - started < 300:
        peak = max(peak, mapbytes(proc.pid))
        time.sleep(0.2)
    stormed = time.perf_counter() - started
    peak = max(peak, mapbytes(proc.pid))
    proc.send_signal(signal.SIGCONT)
    out, err = proc.communicate()
    t = Report(head + out, proc.returncode)
    print('stalled reader, ebpf: %d of %d processes reported (%s); storm %.1f s while stopped, '
          'maps peak %d kB%s' % (len(t.procs), n + 1, verdict(t, n + 1, plan(n, 251)), stormed,
                                 peak // 1024, '; stderr: ' + err.decode().strip() if err else ''))


def progstats(pid):
    """(runs, ns) of each eBPF program that process pid holds, by name."""
    stats = {}
    for fd in os.listdir('/proc/%d/fdinfo' % pid):
        with open('/proc/%d/fdinfo/%s' % (pid, fd)) as f:
            m = re.search(r'prog_id:\s+(\d+)', f.read())
        if m:
            shown = json.loads(subprocess.run(['bpftool', '-j', 'prog', 'show', 'id', m.group(1)],
                                              stdout=subprocess.PIPE).stdout or b'{}')
            stats[shown.get('name', '?')] = (shown.get('run_cnt', 0), shown.get('run_time_ns', 0))
    return stats


def instances(dorvane, workloads_exe, work, env, count=100):
    """Idle instances, each with a tree of one sleeping process (in half of them a process with
    a second thread), and a storm outside them: what each kind costs per event outside its
    tree, which should not depend on what the tree holds."""
    storm = [workloads_exe, 'many', '5000', '2', '251']
    out = os.path.join(work, 'out')
    alone = [measure(storm, work, out)[0] for _ in range(3)]
    trees = {'plain': ['sleep', '600'], 'threaded': [workloads_exe, 'idle', '600', 'threaded']}
    idle = [(kind, subprocess.Popen([dorvane] + trees[kind], env=env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, cwd=work))
            for i in range(count) for kind in [('plain', 'threaded')[i % 2]]]
    try:
        time.sleep(2)  # all loaded
        memory = statistics.median(mapbytes(p.pid) for _, p in idle)
        with open('/proc/sys/kernel/bpf_stats_enabled', 'r+') as f:
            enabled = f.read().strip()
            f.seek(0)
            f.write('1')
        before = [progstats(p.pid) for _, p in idle]
        beside = [measure(storm, work, out)[0] for _ in range(3)]
        after = [progstats(p.pid) for _, p in idle]
        with open('/proc/sys/kernel/bpf_stats_enabled', 'w') as f:
            f.write(enabled)
    finally:
        for _, p in idle:
            p.kill()
            p.wait()
    for kind in trees:
        runs, ns = collections.Counter(), collections.Counter()
        for (k, _), b, a in zip(idle, before, after):
            for name in a:
                if k == kind and name in b:
                    runs[name] += a[name][0] - b[name][0]
                    ns[name] += a[name][1] - b[name][1]
        print('idle instance, ebpf, tree %s: per event outside the tree: %s' % (kind, ', '.join(
            '%s %.0f ns' % (name, ns[name] / max(1, runs[name])) for name in sorted(runs))))
    print('idle instance, ebpf: maps %d kB each' % (memory // 1024))
    print('storm outside the tree (5,000 processes): %.3f s alone, %.3f s beside %d idle '
          'instances (%.2fx)' % (statistics.median(alone), statistics.median(beside), count,
                                 statistics.median(beside) / statistics.median(alone)))


def selfcost(argv, workloads_exe, cwd, out, env=None):
    """dorvane's own CPU seconds (not its tree's) and peak RSS (kB) through a run, by wait4 and
    its zombie's /proc in the small workloads program: wait4 here would count the peak of this
    interpreter, which the child was forked from, and the CPU of every process it reaped."""
    with open(out, 'wb') as sink:
        cpu, rss = subprocess.run([workloads_exe, 'peakrss'] + argv, stdout=sink,
                                  stderr=subprocess.PIPE, cwd=cwd, env=env).stderr.split()[-2:]
    return float(cpu), int(rss)


def peakrss(argv, workloads_exe, cwd, out, env=None):
    return selfcost(argv, workloads_exe, cwd, out, env)[1]


def startup(dorvane, workloads_exe, envs, strace, work, out, runs=21):
    """Median wall time of /bin/true alone, under each tracker and under strace, the four
    alternating in each round; the binary's size and what it links; and the peak RSS of
    dorvane /bin/true, against /bin/true's, which shows the floor of the way it is taken."""
    configs = [('alone', ['/bin/true'], None)]
    configs += [(tracker, [dorvane, '/bin/true'], envs[label]) for label, tracker in TRACKERS]
    if strace:
        configs.append(('strace', [strace, '-f', '-q', '-e', 'trace=none', '-e', 'signal=none',
                                   '-o', out + '.strace', '/bin/true'], None))
    times, rss = collections.defaultdict(list), collections.defaultdict(list)
    for _ in range(runs):
        for name, argv, env in configs:
            times[name].append(measure(argv, work, out, env)[0])
    print('start-up: ' + ', '.join('%s %.1f ms' % (name, statistics.median(times[name]) * 1000)
                                   for name, _, _ in configs) +
          ' (medians of %d, alternating)' % runs)
    needed = re.findall(r'\(NEEDED\)\s+Shared library: \[([^\]]+)\]', subprocess.run(
        ['readelf', '-d', dorvane], stdout=subprocess.PIPE).stdout.decode())
    print('binary: %d KB, linked dynamically: %s' % (os.path.getsize(dorvane) // 1024,
                                                    ', '.join(needed) or 'nothing'))
    for _ in range(7):
        for name, argv, env in configs[:3]:
            rss[name].append(peakrss(argv, workloads_exe, work, out, env))
    print('peak RSS of dorvane /bin/true: ' + ', '.join(
        '%s %d kB (max %d)' % (tracker, statistics.median(rss[tracker]), max(rss[tracker]))
        for _, tracker in TRACKERS) + '; /bin/true alone %d kB' % statistics.median(
            rss['alone']))


PIDMAX = '/proc/sys/kernel/pid_max'


@contextlib.contextmanager
def risingpids():
    """pid_max at 4,194,304, as systemd sets it, for the length of the block: pids then rise
    for millions of processes. The value it had comes back whatever ends the block, SIGTERM
    included; other runs on the machine see the change only meanwhile."""
    with open(PIDMAX) as f:
        saved = f.read().strip()

    def stop(sig, frame):
        raise SystemExit(128 + sig)

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        with open(PIDMAX, 'w') as f:
            f.write('4194304')
        yield
    finally:
        with open(PIDMAX, 'w') as f:
            f.write(saved)
        signal.signal(signal.SIGTERM, previous)


def scale(dorvane, workloads_exe, envs, work, counts=(10000, 200000)):
    """Runs of short processes, 8 alive at a time, each ending at once with its own code, with
    pids rising throughout: per tracker and count, dorvane's own CPU time per process (its
    tree's not counted) and its peak RSS, and the report checked to give every process once
    new and once ended with its code. The cost per process should not grow with the count."""
    if os.getuid() != 0:
        print('scale: skipped: it sets %s, which needs root' % PIDMAX)
        return
    out = os.path.join(work, 'out')
    perprocess = {}
    for label, tracker in TRACKERS:
        for n in counts:
            argv = [dorvane, workloads_exe, 'many', str(n), '8', '251']
            started = time.perf_counter()
            with risingpids():
                cpu, rss = selfcost(argv, workloads_exe, work, out, envs[label])
            wall = time.perf_counter() - started
            perprocess[(tracker, n)] = cpu / (n + 1) * 1e6
            print('scale, %s, %d processes: dorvane %.1f us CPU per process, peak RSS %d kB; '
                  '%.1f s wall; %s' % (tracker, n, perprocess[(tracker, n)], rss, wall,
                                       verdict(report(out), n + 1, plan(n, 251))), flush=True)
        print('scale, %s: CPU per process at %d processes %.2fx that at %d' % (
            tracker, counts[-1], perprocess[(tracker, counts[-1])] /
            max(perprocess[(tracker, counts[0])], 1e-9), counts[0]))


def record(dorvane, workloads_exe, envs, work, pairs):
    """What --json and --trace cost: per workload and tracker, dorvane with both and
    without, in alternating rounds after a warm-up of each; median wall times and the median
    of the rounds' ratios, and the records checked to name every process once."""
    out, jsonl, trace = (os.path.join(work, name) for name in ('out', 'run.jsonl', 'run.json'))
    loads = workloads(workloads_exe)
    for name in ('storm 4000', 'fan-out'):
        command, expected, _ = loads[name]
        configs = []
        for label, tracker in TRACKERS:
            configs.append((tracker, 'plain', [dorvane] + command, envs[label]))
            configs.append((tracker, 'recorded', [dorvane, '--json', jsonl, '--trace', trace] +
                            command, envs[label]))
        for _, _, argv, env in configs:
            measure(argv, work, out, env)
        times = collections.defaultdict(list)
        for _ in range(pairs):
            for tracker, kind, argv, env in configs:
                times[(tracker, kind)].append(measure(argv, work, out, env)[0])
        for label, tracker in TRACKERS:
            plain, recorded = times[(tracker, 'plain')], times[(tracker, 'recorded')]
            ratio = statistics.median(b / a for a, b in zip(plain, recorded))
            measure([dorvane, '--json', jsonl, '--trace', trace] + command, work, out,
                    envs[label])
            with open(jsonl) as f:
                pids = [json.loads(line).get('pid') for line in f]
            with open(trace) as f:
                events = [e for e in json.load(f) if e['ph'] == 'X']
            whole = len(set(pids[:-1])) == len(pids) - 1 == expected == len(events)
            print('record, %-10s %-6s: %.3f s without, %.3f s with --json and --trace: %.3fx; '
                  'records %s' % (name, tracker, statistics.median(plain),
                                  statistics.median(recorded), ratio,
                                  'whole' if whole else 'NOT WHOLE (%d lines, %d events)' %
                                  (len(pids), len(events))), flush=True)


def stamped(argv, env, cwd):
    """A run whose output is read as it comes: each complete line with the monotonic ns of
    its arrival, and the moment dorvane's own process was reaped."""
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL, cwd=cwd, env=env, bufsize=0)
    lines, partial = [], b''
    while True:
        chunk = os.read(proc.stdout.fileno(), 65536)
        now = time.monotonic_ns()
        if not chunk:
            break
        partial += chunk
        *complete, partial = partial.split(b'\n')
        lines += [(line, now) for line in complete]
    _, status, _ = os.wait4(proc.pid, 0)
    ended = time.monotonic_ns()
    proc.returncode = os.waitstatus_to_exitcode(status)
    proc.stdout.close()
    return lines, ended, proc.returncode


def isolated(dorvane, workloads_exe, env, work):
    """One run of the isolated workload: ns from the child's reap to its end line's arrival
    and from the root's last moment to dorvane's end, or a fault found in the run."""
    stamps = os.path.join(work, 'isolated')
    lines, ended, code = stamped([dorvane, workloads_exe, 'isolated', stamps], env, work)
    t = Report(b''.join(line + b'\n' for line, _ in lines), code)
    root = int(lines[0][0].split(b'= ')[1]) if lines and b'= ' in lines[0][0] else None
    children = [p for p in t.procs if p.pid != root]
    fault = verdict(t, 2, collections.Counter({0: 2}))
    if code != 0 or fault != 'ok' or len(children) != 1 or children[0].endat is None:
        return 'exit code %s; %s' % (code, fault)
    with open(stamps) as f:
        reaped, last = map(int, f.read().split())
    return lines[children[0].endat][1] - reaped, ended - last


def latency(dorvane, workloads_exe, envs, work, out, runs=11):
    """How late a lone process's end line comes and how late a run ends, per tracker in
    alternating runs; and a short shell script's wall time alone and under each."""
    results = collections.defaultdict(list)
    for _ in range(runs):
        for label, tracker in TRACKERS:
            results[tracker].append(isolated(dorvane, workloads_exe, envs[label], work))
    for _, tracker in TRACKERS:
        good = [r for r in results[tracker] if isinstance(r, tuple)]
        faults = [r for r in results[tracker] if not isinstance(r, tuple)]
        line = 'isolated process, %s: ' % tracker
        if good:
            lines, ends = [r[0] / 1e6 for r in good], [r[1] / 1e6 for r in good]
            line += ('its end line %.1f ms after its reap (max %.1f), run ends %.1f ms after '
                     'the root (max %.1f)' % (statistics.median(lines), max(lines),
                                              statistics.median(ends), max(ends)))
        if faults:
            line += '%s%d of %d runs faulty: %s' % ('; ' if good else '', len(faults), runs,
                                                    faults[0])
        print(line)
    script = ['/bin/sh', '-c', '/bin/true; sleep 0.02']
    configs = [('alone', script, None)] + [(tracker, [dorvane] + script, envs[label])
                                           for label, tracker in TRACKERS]
    times = collections.defaultdict(list)
    for _ in range(runs):
        for name, argv, env in configs:
            times[name].append(measure(argv, work, out, env)[0])
    print("sh -c '/bin/true; sleep 0.02': " + ', '.join(
        '%s %.1f ms' % (name, statistics.median(times[name]) * 1000)
        for name, _, _ in configs) + ' (medians of %d, alternating)' % runs)


def windows(opts):
    folder = build('windows')
    prefix = os.path.join(folder, 'wineprefix-bench')
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG='-all',
               WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe=d')
    if not os.path.isdir(prefix):
        subprocess.run(['wineboot', '-i'], env=env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    work = tempfile.mkdtemp(prefix='dorvane-bench-')
    out = os.path.join(work, 'out')
    exe = os.path.join(folder, 'bench', 'workloads.exe')
    for name, verb in (('spawn storm', 'storm'), ('fan-out', 'fanout')):
        with open(out, 'wb') as sink:
            started = time.perf_counter()
            subprocess.run(['wine', os.path.join(folder, 'dorvane.exe'), exe, verb, '1000'],
                           stdout=sink, stderr=subprocess.DEVNULL, env=env, cwd=work)
            wall = time.perf_counter() - started
        t = report(out)
        print('%-12s under Wine: %d processes reported in %.1f s  %s' % (
            name, len(t.procs), wall, verdict(t, 1001, collections.Counter({0: 1001}))),
            flush=True)
    shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--pairs', type=int, default=5)
    parser.add_argument('--only', nargs='*')
    parser.add_argument('--windows', action='store_true')
    opts = parser.parse_args()
    windows(opts) if opts.windows else linux(opts)


if __name__ == '__main__':
    main()
