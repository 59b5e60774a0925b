#!/usr/bin/env python3
"""Benchmarks of dorvane. Each workload runs unsupervised (A) and under dorvane (B) in
alternation, A B A B ..., after a warm-up of each, and the figures are printed side by
side: median wall and CPU time of each, the median of the pairs' B/A wall ratios,
dorvane's peak resident memory and most open descriptors (from a separate, untimed run
that samples them), and how many processes it reported, checked to be each once new and
once ended with the planned exit code. Output goes to files, so terminal speed is not
measured.

With --windows, the spawn storm and the fan-out run under dorvane.exe in Wine instead, for
counts and correctness only: Wine's timings say nothing about Windows.

usage: bench/run.py [--pairs N] [--only NAME ...] [--windows]
"""
import argparse
import collections
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, 'tests', 'stress'))
from tally import tally  # noqa: E402


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


def script(folder, name, text):
    """dorvane joins arguments without quotes, so a shell loop goes in a file."""
    path = os.path.join(folder, name)
    with open(path, 'w') as f:
        f.write(text + '\n')
    return path


def workloads(workloads_exe, work):
    """name -> (command, processes expected or None, exit codes planned or None)"""
    storm = script(work, 'storm.sh', 'i=0; while [ $i -lt 1000 ]; do /bin/true; i=$((i+1)); done')
    build = script(work, 'build.sh', 'make -s clean && make -s -j2')
    return collections.OrderedDict([
        ('spawn storm', (['/bin/sh', storm], 1001, collections.Counter({0: 1001}))),
        ('fan-out', ([workloads_exe, 'fanout', '1000'], 1001, plan(1000, 1))),
        ('deep chain', ([workloads_exe, 'chain', '500'], 500, collections.Counter({0: 500}))),
        ('threads', ([workloads_exe, 'threads', '2000'], 1, collections.Counter({0: 1}))),
        ('real build', (['/bin/sh', build], None, None)),
        ('long run', ([workloads_exe, 'many', '40000', '2', '251'], 40001, plan(40000, 251))),
    ])


def measure(argv, cwd, out):
    """One timed run: wall seconds and CPU seconds of it and all it reaped."""
    with open(out, 'wb') as sink:
        started = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=sink, stderr=subprocess.DEVNULL, cwd=cwd)
        _, _, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - started
    return wall, usage.ru_utime + usage.ru_stime


def watch(argv, cwd, out):
    """An untimed run that samples dorvane's peak RSS (kB) and open descriptors."""
    rss = fds = 0
    with open(out, 'wb') as sink:
        proc = subprocess.Popen(argv, stdout=sink, stderr=subprocess.DEVNULL, cwd=cwd)
        while proc.poll() is None:
            try:
                with open('/proc/%d/status' % proc.pid) as f:
                    for line in f:
                        if line.startswith('VmHWM:'):
                            rss = max(rss, int(line.split()[1]))
                fds = max(fds, len(os.listdir('/proc/%d/fd' % proc.pid)))
            except OSError:
                pass
            time.sleep(0.02)
    return rss, fds


def verdict(out, expected, planned):
    with open(out, 'rb') as f:
        t = tally(f.read().decode('utf-8', 'replace'))
    faults = list(t.faults[:3])
    if expected is not None and t.processes != expected:
        faults.append('%d processes reported, %d expected' % (t.processes, expected))
    if planned is not None and t.codes != planned:
        faults.append('exit codes differ from the plan')
    return t.processes, '; '.join(faults) or 'ok'


def linux(opts):
    release = build('release')
    dorvane = os.path.join(release, 'dorvane')
    work = tempfile.mkdtemp(prefix='dorvane-bench-')
    project = makeproject(os.path.join(work, 'project'))
    out = os.path.join(work, 'out')
    print('%-12s %8s %8s %8s %8s %7s %9s %4s %6s  %s' % (
        'workload', 'wall A', 'wall B', 'cpu A', 'cpu B', 'B/A', 'peak RSS', 'fds', 'procs',
        'check'))
    peaks = {}
    for name, (command, expected, planned) in workloads(
            os.path.join(release, 'bench', 'workloads'), work).items():
        if opts.only and name not in opts.only:
            continue
        cwd = project if name == 'real build' else work
        measure(command, cwd, out)
        measure([dorvane] + command, cwd, out)
        a, b = [], []
        for _ in range(opts.pairs):
            a.append(measure(command, cwd, out))
            b.append(measure([dorvane] + command, cwd, out))
        ratio = statistics.median(y[0] / x[0] for x, y in zip(a, b))
        rss, fds = watch([dorvane] + command, cwd, out)
        processes, check = verdict(out, expected, planned)
        peaks[name] = (rss, processes)
        print('%-12s %7.3fs %7.3fs %7.3fs %7.3fs %6.3fx %6d kB %4d %6d  %s' % (
            name, statistics.median(x[0] for x in a), statistics.median(x[0] for x in b),
            statistics.median(x[1] for x in a), statistics.median(x[1] for x in b), ratio,
            rss, fds, processes, check), flush=True)
    if 'long run' in peaks and 'spawn storm' in peaks:
        (big, many), (small, few) = peaks['long run'], peaks['spawn storm']
        print('memory growth: %.0f bytes per process (peak RSS, long run against spawn storm)'
              % ((big - small) * 1024.0 / (many - few)))
    shutil.rmtree(work, ignore_errors=True)


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
        processes, check = verdict(out, 1001, collections.Counter({0: 1001}))
        print('%-12s under Wine: %d processes reported in %.1f s  %s' % (
            name, processes, wall, check), flush=True)
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
