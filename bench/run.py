#!/usr/bin/env python3
"""Benchmarks of dorvane on Linux: each workload runs unsupervised and under dorvane in
alternation (A B A B ..., after a warm-up of each), and the figures are printed side by
side: median wall and CPU time of each, the median of the pairs' ratios, dorvane's peak
resident memory and open descriptors, and whether every process was reported once as new
and once as ended with the planned exit code. Output goes to files, so the terminal's
speed is not measured.

usage: bench/run.py [--pairs N] [--only NAME ...] [--windows]
"""
import argparse
import collections
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE = os.path.join(TOP, 'build', 'release')
DORVANE = os.path.join(RELEASE, 'dorvane')
WORKLOADS = os.path.join(RELEASE, 'bench', 'workloads')


def build():
    subprocess.run(['cmake', '--preset', 'release'], cwd=TOP, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', '--preset', 'release'], cwd=TOP, check=True,
                   stdout=subprocess.DEVNULL)


def makeproject(folder, files=200):
    """A project of small C files and a makefile that builds them into one program."""
    os.makedirs(folder, exist_ok=True)
    names = []
    for i in range(files):
        name = 'unit%03d' % i
        names.append(name)
        with open(os.path.join(folder, name + '.c'), 'w') as f:
            f.write('int f%d(int x) { int s = 0; for (int i = 0; i < x; i++) s += i * %d; '
                    'return s; }\n' % (i, i + 1))
    with open(os.path.join(folder, 'main.c'), 'w') as f:
        f.write('int main(void) { return 0; }\n')
    objects = ' '.join(n + '.o' for n in names)
    with open(os.path.join(folder, 'Makefile'), 'w') as f:
        f.write('prog: main.o %s\n\tcc -o $@ $^\n%%.o: %%.c\n\tcc -O1 -c -o $@ $<\n'
                'clean:\n\trm -f *.o prog\n' % objects)
    return folder


# name -> (command, planned exit codes of the non-root processes or None, processes or None)
def workloads(project):
    storm = 'i=0; while [ $i -lt 1000 ]; do /bin/true; i=$((i+1)); done'
    return collections.OrderedDict([
        ('spawn storm', (['/bin/sh', '-c', storm], 1001)),
        ('fan-out', ([WORKLOADS, 'fanout', '1000'], 1001)),
        ('deep chain', ([WORKLOADS, 'chain', '500'], 500)),
        ('threads', ([WORKLOADS, 'threads', '2000'], 1)),
        ('real build', (['/bin/sh', '-c', 'make -s clean && make -s -j2', ], None)),
        ('long run', ([WORKLOADS, 'many', '40000', '2', '251'], 40001)),
    ])


class Result:
    pass


def measure(command, supervised, cwd, out):
    """Runs once; returns wall seconds, CPU seconds, and for dorvane its peak RSS in KiB and
    the most descriptors it held."""
    argv = [DORVANE] + command if supervised else command
    with open(out, 'wb') as sink:
        started = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=sink, stderr=subprocess.DEVNULL, cwd=cwd)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - started
    proc.returncode = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime


def watch(command, cwd, out):
    """A separate, untimed run under dorvane that samples its memory and descriptors."""
    peak = [0, 0]
    with open(out, 'wb') as sink:
        proc = subprocess.Popen([DORVANE] + command, stdout=sink, stderr=subprocess.DEVNULL,
                                cwd=cwd)
        while proc.poll() is None:
            try:
                with open('/proc/%d/status' % proc.pid) as f:
                    for line in f:
                        if line.startswith('VmHWM:'):
                            peak[0] = max(peak[0], int(line.split()[1]))
                peak[1] = max(peak[1], len(os.listdir('/proc/%d/fd' % proc.pid)))
            except OSError:
                pass
            time.sleep(0.05)
    return peak


def check(out, expected):
    """Every process once new and once ended, in that order, across pid reuse; returns the
    count of processes and a list of faults."""
    faults, alive, count, codes = [], set(), 0, collections.Counter()
    with open(out, 'rb') as f:
        for line in f.read().decode('utf-8', 'replace').splitlines():
            m = re.match(r'\tnew process pid (\d+)$', line)
            if m:
                pid = int(m.group(1))
                if pid in alive:
                    faults.append('pid %d new twice' % pid)
                alive.add(pid)
                count += 1
                continue
            m = re.match(r'\t(exit|crash) process pid (\d+)(?: ecode 0x([0-9a-f]+))?$', line)
            if m:
                pid = int(m.group(2))
                if pid not in alive:
                    faults.append('pid %d ended without being new' % pid)
                alive.discard(pid)
                codes[int(m.group(3), 16) if m.group(3) else None] += 1
    if alive:
        faults.append('%d processes never ended' % len(alive))
    if expected is not None and count != expected:
        faults.append('%d processes reported, %d expected' % (count, expected))
    if None in codes:
        faults.append('%d ends without an exit code' % codes[None])
    return count, faults, codes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--pairs', type=int, default=5)
    parser.add_argument('--only', nargs='*')
    opts = parser.parse_args()
    build()
    work = tempfile.mkdtemp(prefix='dorvane-bench-')
    project = makeproject(os.path.join(work, 'project'))
    out = os.path.join(work, 'out')
    print('%-12s %9s %9s %9s %9s %7s %9s %5s %8s  %s' % (
        'workload', 'wall A', 'wall B', 'cpu A', 'cpu B', 'B/A', 'peak RSS', 'fds',
        'procs', 'check'))
    for name, (command, expected) in workloads(project).items():
        if opts.only and name not in opts.only:
            continue
        cwd = project if name == 'real build' else work
        measure(command, False, cwd, out)  # warm-up
        measure(command, True, cwd, out)
        a, b, ratios = [], [], []
        for _ in range(opts.pairs):
            a.append(measure(command, False, cwd, out))
            b.append(measure(command, True, cwd, out))
            ratios.append(b[-1][0] / a[-1][0])
        rss, fds = watch(command, cwd, out)
        count, faults, codes = check(out, expected)
        if name == 'long run':
            planned = collections.Counter(i % 251 for i in range(40000))
            planned[0] += 1  # the root
            if codes != planned:
                faults.append('exit codes differ from the plan')
        print('%-12s %8.3fs %8.3fs %8.3fs %8.3fs %6.3fx %7d kB %5d %8d  %s' % (
            name, statistics.median(x[0] for x in a), statistics.median(x[0] for x in b),
            statistics.median(x[1] for x in a), statistics.median(x[1] for x in b),
            statistics.median(ratios), rss, fds, count, '; '.join(faults) or 'ok'),
            flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
