#!/usr/bin/env python3
"""Stress runs of the native dorvane: large random trees, pid reuse across a wrap,
spawning while the CPUs are busy, and dorvane stopped in a storm. Each is bounded in time; each checks the whole report.

usage: stress.py --dorvane PATH --workloads PATH --work DIR GROUP...
"""
import argparse
import collections
import os
import select
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no build output in the source tree
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import (END, SCALE, Report, check, groups, letgo, main, poll,  # noqa: E402
                     skip, skip_unless_tracker_starts, zombie)
from harness import run as supervise  # noqa: E402


def run(opts, args, timeout, env=None):
    return supervise([opts.dorvane, opts.workloads] + args, timeout, cwd=opts.work, env=env)


def test_randtree(opts):
    seed, n = int(os.environ.get('DORVANE_STRESS_SEED', '20261208')), 10000
    marker = os.path.join(opts.work, 'last-marker')
    if os.path.exists(marker):
        os.remove(marker)
    t = run(opts, ['randtree', str(seed), str(n), marker], 300)
    where = ' (seed %d; rerun with DORVANE_STRESS_SEED=%d)' % (seed, seed)
    check(not t.faults, '; '.join(t.faults[:5]) + where)
    check(len(t.procs) == n, '%d processes reported, %d planned%s' % (len(t.procs), n, where))
    planned = collections.Counter((i * 37 + seed) % 256 for i in range(n))
    check(t.code_counts() == planned, 'exit codes differ from the plan' + where)
    check(t.root == seed % 256 and t.status == seed % 256, 'root code' + where)
    # The node that ends last had written its marker before ending: a run that returned
    # before the whole tree had ended could find it missing.
    check(os.path.exists(marker), 'the run ended before the last process' + where)


def expect_many(t, n, where=''):
    """The report of `many N P 251` or `twins N P 251`: the root and its n children, once each."""
    check(not t.faults, '; '.join(t.faults[:5]) + where)
    check(len(t.procs) == n + 1, '%d processes reported, %d started' % (len(t.procs), n + 1))
    planned = collections.Counter(i % 251 for i in range(n))
    planned[0] += 1  # the root
    check(t.code_counts() == planned, 'exit codes differ from the plan')
    check(t.root == 0 and t.status == 0, 'the root\'s code 0, got %r (status %d)' % (t.root, t.status))


def test_pidwrap(opts):
    n = 40000
    t = run(opts, ['many', str(n), '2', '251'], 300)
    expect_many(t, n)
    with open('/proc/sys/kernel/pid_max') as f:
        pidmax = int(f.read())
    if pidmax < n:
        check(t.reused > 0, 'no pid was used twice, though pid_max is %d' % pidmax)


def test_twins(opts):
    """Children whose two threads end at the same moment: each ends once, and the run goes
    on until the root has ended. Repeated: the race is not won every time."""
    for _ in range(2):
        expect_many(run(opts, ['twins', '3000', '2', '251'], 300), 3000)


def pidsgone(count, seconds):
    """Waits until the kernel has handed out count pids, wrapping or not, or the scaled
    deadline passes; whether it did."""
    with open('/proc/sys/kernel/pid_max') as f:
        pidmax = int(f.read())
    given, last = 0, None

    def enough():
        nonlocal given, last
        with open('/proc/sys/kernel/ns_last_pid') as f:
            now = int(f.read())
        given += (now - last) % pidmax if last is not None else 0
        last = now
        return given >= count
    return poll(enough, seconds)


def test_stopped(opts):
    """dorvane stopped outright in a storm. Under eBPF the storm runs on for 70,000 pids (two
    wraps where pid_max is 32,768), far past what the ring holds, and goes on once dorvane
    does, its pids now those of processes that dorvane has still to read of: every process
    is reported once, with its code, and nothing is said lost. Under ptrace the tree waits
    for it, stopped three times."""
    ebpf = os.environ.get('DORVANE_TRACKER') != 'ptrace'
    n, parallel = (120000, '8') if ebpf else (20000, '2')
    # Unbuffered: communicate() reads the descriptor itself, and would never see what a
    # buffered readline() had taken beyond the lines read here.
    proc = subprocess.Popen([opts.dorvane, opts.workloads, 'many', str(n), parallel, '251'],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, cwd=opts.work, bufsize=0)
    head, root = letgo(proc)
    for _ in range(1 if ebpf else 3):
        proc.send_signal(signal.SIGSTOP)
        if ebpf:
            check(pidsgone(70000, 300), 'the storm waited for dorvane')
            check(not zombie(root), 'the storm ended while dorvane was stopped')
        else:
            time.sleep(1 * SCALE)
        proc.send_signal(signal.SIGCONT)
        time.sleep(0.2 * SCALE)
    out, err = proc.communicate(timeout=600 * SCALE)
    t = Report(head + out, proc.returncode)
    kept = os.path.join(opts.work, 'stopped-report.txt')
    with open(kept, 'wb') as f:  # too long to print, and wanted when a check fails
        f.write(head + out)
    expect_many(t, n, ' (the report: %s)' % kept)
    check(not err, 'said on standard error: %s' % err.decode(errors='replace'))


def test_load(opts):
    n = 2000
    t = run(opts, ['busy', str(int(3000 * SCALE)), str(n)], 300)
    check(not t.faults, '; '.join(t.faults[:5]))
    check(len(t.procs) == n + 3, '%d processes reported, %d started' % (len(t.procs), n + 3))
    planned = collections.Counter(i % 251 for i in range(n))
    planned[1] += 2  # the spinners
    planned[0] += 1  # the root
    check(t.code_counts() == planned, 'exit codes differ from the plan')
    check(t.status == 0, 'exit status')


def stopped_run(opts, args, seconds=None, until=None, timeout=300):
    """dorvane run with dorvane stopped once the root runs, for some seconds or until the
    workload has done what until(root) tells, then let go: its report, and what it said on
    standard error. Under ptrace the tree stops with dorvane: a second then."""
    proc = subprocess.Popen([opts.dorvane, opts.workloads] + args, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, cwd=opts.work,
                            bufsize=0)
    head, root = letgo(proc)
    proc.send_signal(signal.SIGSTOP)
    if until and os.environ.get('DORVANE_TRACKER') != 'ptrace':
        check(poll(lambda: until(root), 120), 'the workload ran while dorvane was stopped')
    else:
        time.sleep((seconds or 1) * SCALE)
    proc.send_signal(signal.SIGCONT)
    out, err = proc.communicate(timeout=timeout * SCALE)
    return Report(head + out, proc.returncode), err.decode(errors='replace')


def fresh(path):
    if os.path.exists(path):
        os.remove(path)
    return path


def test_threaded(opts):
    """More processes with a second thread alive at once than a table of them held before:
    each is reported once new and once ended with its code, the children they fork after
    their thread are followed, and the run waits for the last of them."""
    n, marker = 5000, fresh(os.path.join(opts.work, 'threaded-marker'))
    t = run(opts, ['threadedtree', str(n), marker], 300)
    check(not t.faults, '; '.join(t.faults[:5]))
    check(len(t.procs) == 2 * n + 1, '%d processes reported, %d started' % (len(t.procs),
                                                                             2 * n + 1))
    planned = collections.Counter(i % 251 for i in range(n))
    planned.update((i + 1) % 251 for i in range(n))
    planned[0] += 1  # the root
    check(t.code_counts() == planned, 'exit codes differ from the plan')
    check(os.path.exists(marker), 'the run ended before its last process')


def test_stranded(opts):
    """Processes with a second thread past what the kernel's table of them holds (64, in the
    build that also has a one-page ring): each is still waited for, its end reported when it
    comes (without its code, which the kernel half could not keep), and said so on standard
    error; the children its main thread forks after its thread are followed as ever."""
    if not opts.tinyring:
        skip('the build with small kernel tables is needed')
    ebpf = os.environ.get('DORVANE_TRACKER') != 'ptrace'
    n, marker = 300, fresh(os.path.join(opts.work, 'stranded-marker'))
    proc = subprocess.run([opts.tinyring, opts.workloads, 'threadedtree', str(n), marker],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, cwd=opts.work, timeout=300 * SCALE)
    t, err = Report(proc.stdout, proc.returncode), proc.stderr.decode(errors='replace')
    check(not t.faults, '; '.join(t.faults[:5]))
    check(len(t.procs) == 2 * n + 1, '%d processes reported' % len(t.procs))
    check(os.path.exists(marker), 'the run ended before its last process')
    planned = collections.Counter(i % 251 for i in range(n))
    planned.update((i + 1) % 251 for i in range(n))
    planned[0] += 1
    got = t.code_counts()
    unknown = got.pop(0xffffffff, 0)
    check(not got - planned and sum((planned - got).values()) == unknown,
          'codes differ from the plan but for those not known')
    if ebpf:
        check(unknown >= n - 64, '%d stranded of %d' % (unknown, n))
        check('dorvane: %d processes could not be reported in full' % unknown in err, err)
    else:
        check(unknown == 0 and not err, 'under ptrace nothing strands: %s' % err)


def test_orphans(opts):
    """Creators that end before their children are read: a chain of orphans while dorvane is
    stopped, and parents let go together, each forking a child and ending. Every process is
    named by the program it runs."""
    marker = fresh(os.path.join(opts.work, 'orphans-marker'))
    t, _ = stopped_run(opts, ['orphanchain', '6000', marker],
                       until=lambda root: os.path.exists(marker))
    check(not t.faults, 'chain: ' + '; '.join(t.faults[:5]))
    check(t.code_counts() == collections.Counter(i % 251 for i in range(6000)),
          'chain: exit codes differ from the plan')
    t2 = run(opts, ['parents', '5000'], 300)
    check(not t2.faults, 'parents: ' + '; '.join(t2.faults[:5]))
    check(t2.code_counts() == collections.Counter({1: 5000, 2: 5000, 0: 1}),
          'parents: exit codes differ from the plan')
    for what, r in (('chain', t), ('parents', t2)):
        names = r.image_counts()
        check(names == collections.Counter({opts.workloads: len(r.procs)}),
              '%s: processes named otherwise: %r' % (what, names - collections.Counter(
                  {opts.workloads: len(r.procs)})))


def test_execchain(opts):
    """Children that exec again and again, two programs in turn, while dorvane is stopped:
    each is named by the program of its first exec."""
    twin = os.path.join(opts.work, 'workloads-twin')
    shutil.copy2(opts.workloads, twin)
    t, _ = stopped_run(opts, ['execchain', '40', '200', twin], until=zombie)
    check(not t.faults, '; '.join(t.faults[:5]))
    check(t.image_counts() == collections.Counter({opts.workloads: 3001, twin: 40}),
          'named otherwise: %r' % t.image_counts())


def test_startstops(opts):
    """dorvane stopped and continued again and again as it starts, until its first line: the
    start takes longer, and that is all; the tracker it was asked for, or would take by
    itself, follows the tree."""
    env = {k: v for k, v in os.environ.items() if k != 'DORVANE_TRACKER'}
    for attempt in range(3):
        for how, runenv in (('forced', os.environ), ('by itself', env)):
            proc = subprocess.Popen([opts.dorvane, '/bin/grep', '^TracerPid',
                                     '/proc/self/status'], stdout=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL, cwd=opts.work, env=runenv)
            for _ in range(100):
                if select.select([proc.stdout], [], [], 0)[0]:
                    break
                proc.send_signal(signal.SIGSTOP)
                time.sleep(0.001)
                proc.send_signal(signal.SIGCONT)
                time.sleep(0.001)
            r = Report(proc.communicate(timeout=60 * SCALE)[0], proc.returncode)
            check(not r.faults and r.status == 0, '%s: %s' % (how, r.text))
            if how == 'by itself' and os.environ.get('DORVANE_TRACKER') == 'ebpf':
                check('TracerPid:\t0' in r.lines, 'by itself: not eBPF: ' + r.text)


def test_bursts(opts):
    """A lone process after bursts of them: its end line comes at once, not after a pause
    that waits for more. Load only ever delays a line, so one late run of five is forgiven."""
    outfile = os.path.join(opts.work, 'bursts-reaped')
    late = []
    for attempt in range(5):
        proc = subprocess.Popen([opts.dorvane, opts.workloads, 'bursts', fresh(outfile)],
                                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                cwd=opts.work, bufsize=0)
        ends = []
        for line in iter(proc.stdout.readline, b''):
            if END.match(line.decode().rstrip('\n')):
                ends.append(time.monotonic_ns())
        proc.wait()
        with open(outfile) as f:
            reaped = int(f.read())
        # The lone child's end is the last before the root's.
        late.append(round((ends[-2] - reaped) / 1e6, 1) if len(ends) > 1 else float('inf'))
    check(sum(ms >= 15 for ms in late) <= 1, 'the lone process\'s end line came late: %r ms'
          % late)


def test_busynames(opts):
    """A shell's children that exec /bin/true as soon as they run, the tree niced 10 beside
    four CPU-bound loops, so that they wait long for their first turn: each is named by
    /bin/true, never by the shell, in three runs."""
    script = 'i=0; while [ $i -lt 1000 ]; do /bin/true & i=$((i+1)); done; wait'
    true = os.path.realpath('/bin/true')
    loops = [subprocess.Popen(['/bin/sh', '-c', 'while :; do :; done']) for _ in range(4)]
    try:
        for attempt in range(3):
            t = supervise(['nice', '-n', '10', opts.dorvane, '/bin/sh', '-c', script], 600,
                          cwd=opts.work)
            check(not t.faults and len(t.procs) == 1001, 'run %d: %s' % (
                attempt, '; '.join(t.faults[:5]) or '%d processes' % len(t.procs)))
            named = t.image_counts()
            named[t.procs[0].image] -= 1  # the shell itself
            check(+named == collections.Counter({true: 1000}),
                  'run %d: children named otherwise: %r' % (attempt, +named))
    finally:
        for loop in loops:
            loop.kill()
            loop.wait()


def test_crosscheck(opts):
    """Both trackers report the same processes, programs and codes of the same workloads."""
    for args in (['fanout', '300'], ['chain', '100'], ['many', '3000', '2', '251'],
                 ['threads', '300']):
        t = {tracker: run(opts, args, 300, dict(os.environ, DORVANE_TRACKER=tracker))
             for tracker in ('ptrace', 'ebpf')}
        p, e = t['ptrace'], t['ebpf']
        what = ' '.join(args)
        check(not p.faults and not e.faults, '%s: %s' % (what, '; '.join(p.faults + e.faults)))
        check(len(p.procs) == len(e.procs), '%s: %d against %d processes' % (
            what, len(p.procs), len(e.procs)))
        check(p.code_counts() == e.code_counts(), '%s: exit codes differ' % what)
        pi, ei = p.image_counts(), e.image_counts()
        check(pi == ei, '%s: programs differ: %r' % (what, (pi - ei) + (ei - pi)))


def start():
    parser = argparse.ArgumentParser()
    parser.add_argument('--dorvane', required=True)
    parser.add_argument('--workloads', required=True)
    parser.add_argument('--tinyring')
    parser.add_argument('--work', required=True)
    parser.add_argument('groups', nargs='+')
    opts = parser.parse_args()
    os.makedirs(opts.work, exist_ok=True)
    skip_unless_tracker_starts(opts.dorvane)
    main(groups(globals()), opts.groups, opts)


if __name__ == '__main__':
    start()
