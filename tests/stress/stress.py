#!/usr/bin/env python3
"""Stress runs of the native dorvane: large random trees, pid reuse across a wrap,
spawning while the CPUs are busy, and dorvane stopped in a storm. Each is bounded in time; each checks the whole report.

usage: stress.py --dorvane PATH --workloads PATH --work DIR GROUP...
"""
import argparse
import collections
import os
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no build output in the source tree
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import (SCALE, Report, check, groups, letgo, main, poll,  # noqa: E402
                     skip_unless_tracker_starts, zombie)
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


def test_stopped(opts):
    """dorvane stopped outright in a storm. Under eBPF the storm runs on to its end across a
    pid wrap, past what the ring holds, and once dorvane goes on it reports every process
    once, with its code. Under ptrace the tree waits for it, stopped three times."""
    ebpf = os.environ.get('DORVANE_TRACKER') != 'ptrace'
    n, parallel = (60000, '8') if ebpf else (20000, '2')
    # Unbuffered: communicate() reads the descriptor itself, and would never see what a
    # buffered readline() had taken beyond the lines read here.
    proc = subprocess.Popen([opts.dorvane, opts.workloads, 'many', str(n), parallel, '251'],
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, cwd=opts.work,
                            bufsize=0)
    head, root = letgo(proc)
    for _ in range(1 if ebpf else 3):
        proc.send_signal(signal.SIGSTOP)
        if ebpf:
            check(poll(lambda: zombie(root), 120), 'the storm waited for dorvane')
        else:
            time.sleep(1 * SCALE)
        proc.send_signal(signal.SIGCONT)
        time.sleep(0.2 * SCALE)
    out = head + proc.communicate(timeout=300 * SCALE)[0]
    t = Report(out, proc.returncode)
    kept = os.path.join(opts.work, 'stopped-report.txt')
    with open(kept, 'wb') as f:  # too long to print, and wanted when a check fails
        f.write(out)
    expect_many(t, n, ' (the report: %s)' % kept)


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


def test_crosscheck(opts):
    """Both trackers report the same processes, programs and codes of the same workloads. A
    child is named by the program it runs when it is announced, which can depend on timing
    (one that execs more than 20 ms after its start is named by its creator's): a
    difference in programs alone is retried once before it counts."""
    for args in (['fanout', '300'], ['chain', '100'], ['many', '3000', '2', '251'],
                 ['threads', '300']):
        for attempt in (1, 2):
            t = {tracker: run(opts, args, 300, dict(os.environ, DORVANE_TRACKER=tracker))
                 for tracker in ('ptrace', 'ebpf')}
            p, e = t['ptrace'], t['ebpf']
            same = len(p.procs) == len(e.procs) and p.code_counts() == e.code_counts()
            if attempt == 1 and same and p.image_counts() != e.image_counts():
                continue
            break
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
    parser.add_argument('--work', required=True)
    parser.add_argument('groups', nargs='+')
    opts = parser.parse_args()
    os.makedirs(opts.work, exist_ok=True)
    skip_unless_tracker_starts(opts.dorvane)
    main(groups(globals()), opts.groups, opts)


if __name__ == '__main__':
    start()
