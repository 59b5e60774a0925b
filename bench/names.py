#!/usr/bin/env python3
"""Names on a busy machine: a build of about 300 processes (100 C files and a link, make -j2)
beside four CPU loops, under dorvane with each tracker. Each process's name in the report is
checked against the kernel's own exec log, the sched_process_fork and sched_process_exec
tracepoints read through tracefs (what strace -f would log, without ptrace, so it also
works beside the ptrace tracker): a process is named by its first exec's program, or, if it
never exec'd, by what its creator ran when it forked it. Root only.

usage: bench/names.py DORVANE [RUNS [NICENESS]]
"""
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile

T = '/sys/kernel/tracing'
if os.getuid() != 0:
    sys.exit('names: needs root, for tracefs')
if not os.path.exists(T + '/events') and subprocess.run(['mount', '-t', 'tracefs', 'nodev', T]).returncode:
    sys.exit('names: tracefs cannot be mounted')
dorvane = sys.argv[1]
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 2
NICE = ['nice', '-n', sys.argv[3]] if len(sys.argv) > 3 else []
work = os.path.join(tempfile.mkdtemp(prefix='dorvane-names-'), 'project')

def w(path, text):
    with open(os.path.join(T, path), 'w') as f:
        f.write(text)

def project(n=100):
    os.makedirs(work)
    for i in range(n):
        with open('%s/f%d.c' % (work, i), 'w') as f:
            f.write('#include <stdio.h>\nint f%d(int x) { printf("%%d", x); return x * %d; }\n' % (i, i))
    with open(work + '/main.c', 'w') as f:
        f.write('int main(void) { return 0; }\n')
    objs = ' '.join('f%d.o' % i for i in range(n))
    with open(work + '/Makefile', 'w') as f:
        f.write('prog: main.o %s\n\tcc -o $@ $^\n%%.o: %%.c\n\tcc -O1 -c $< -o $@\nclean:\n\trm -f *.o prog\n' % objs)

def truth(text):
    prog, named = {}, {}
    fork = re.compile(r'sched_process_fork: comm=.* pid=(\d+) child_comm=.* child_pid=(\d+)')
    execd = re.compile(r'sched_process_exec: filename=(.*) pid=(\d+) old_pid=(\d+)')
    for line in text.splitlines():
        m = fork.search(line)
        if m:
            parent, child = int(m.group(1)), int(m.group(2))
            prog[child] = prog.get(parent)
            named.pop(child, None)
            continue
        m = execd.search(line)
        if m:
            pid = int(m.group(2))
            path = os.path.realpath(m.group(1))
            prog[pid] = path
            named.setdefault(pid, path)
    return prog, named

def report(text):
    names, name = {}, None
    for line in text.splitlines():
        if line.startswith('file "'):
            name = line[6:-1]
        m = re.match(r'\tnew process pid (\d+)$', line)
        if m:
            names[int(m.group(1))] = name
    return names

project()
loops = [subprocess.Popen(['sh', '-c', 'while :; do :; done']) for _ in range(4)]
try:
    for tracker in ('ebpf', 'ptrace'):
        for run in range(runs):
            subprocess.run(['make', '-s', '-C', work, 'clean'], check=True)
            w('tracing_on', '0'); w('trace', ''); w('buffer_size_kb', '32768')
            w('events/sched/sched_process_fork/enable', '1')
            w('events/sched/sched_process_exec/enable', '1')
            w('tracing_on', '1')
            out = subprocess.run(NICE + [dorvane, 'make', '-s', '-j2', '-C', work], stdout=subprocess.PIPE,
                                 env=dict(os.environ, DORVANE_TRACKER=tracker)).stdout.decode()
            w('tracing_on', '0')
            with open(os.path.join(T, 'trace')) as f:
                log = f.read()
            prog, named = truth(log)
            names = report(out)
            wrong = collections.Counter()
            for pid, name in names.items():
                want = named.get(pid, prog.get(pid))
                if want is not None and name != want:
                    wrong[(name, want)] += 1
            unknown = sum(1 for pid in names if named.get(pid, prog.get(pid)) is None)
            makes = sum(1 for n in names.values() if n.endswith('/make'))
            print('%-6s run %d: %d processes, %d named otherwise than the exec log, %d not in the '
                  'log, %d named make%s' % (tracker, run + 1, len(names), sum(wrong.values()),
                                           unknown, makes, (': %r' % dict(wrong)) if wrong else ''),
                  flush=True)
finally:
    for p in loops:
        p.kill()
    w('events/sched/sched_process_fork/enable', '0')
    w('events/sched/sched_process_exec/enable', '0')
    w('trace', '')
    shutil.rmtree(os.path.dirname(work), ignore_errors=True)
