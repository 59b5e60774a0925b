"""The oracle: dorvane's report of a make run agrees with what strace sees of the same
run, process for process, by program and exit code."""
import os
import re
import shutil
import signal
import subprocess

from common import dorvane
from harness import SCALE, check, skip


def parse_strace(log):
    """Per process that strace saw: (the program it ran when it first exec'd, forked or
    ended, which is what dorvane names it by; the program it started with, which dorvane
    names it by if that came more than 20 ms after its start; its exit code, 128+N for
    signal N)."""
    events, pending, parent, threads = [], {}, {}, set()
    for line in log.splitlines():
        m = re.match(r'(\d+) +(.*)$', line)
        if not m:
            continue
        pid, rest = int(m.group(1)), m.group(2)
        if rest.endswith('<unfinished ...>'):
            pending[pid] = rest
            continue
        m = re.match(r'<\.\.\. \w+ resumed>(.*)$', rest)
        if m:
            rest = pending.pop(pid, '') + m.group(1)
        events.append((pid, rest))
        m = re.match(r'(clone3?|fork|vfork)\((.*) = (\d+)$', rest)
        if m and 'CLONE_THREAD' in m.group(2):
            threads.add(int(m.group(3)))
        elif m:
            parent[int(m.group(3))] = pid
    # A child's own lines may come before its parent's line that names it.
    current, named, codes, inherited = {}, {}, {}, {}
    for pid, rest in events:
        if pid not in current:
            current[pid] = inherited[pid] = current.get(parent.get(pid))
        m = re.match(r'execve\("([^"]*)".* = 0$', rest)
        if m:
            path = m.group(1)
            current[pid] = current[pid] if path == '/proc/self/exe' else os.path.realpath(path)
            named.setdefault(pid, current[pid])
        elif re.match(r'(clone3?|fork|vfork)\((.*) = (\d+)$', rest) and \
                'CLONE_THREAD' not in rest:
            named.setdefault(pid, current[pid])
        m = re.match(r'\+\+\+ (exited with (\d+)|killed by (SIG\w+)).* \+\+\+$', rest)
        if m:
            sig = m.group(3)
            codes[pid] = int(m.group(2)) if m.group(2) else 128 + signal.Signals[sig].value
            named.setdefault(pid, current[pid])
    return sorted((named.get(p), inherited.get(p), c) for p, c in codes.items()
                  if p not in threads)


def unmatched(got, want):
    """What of dorvane's (image, code) pairs the strace processes cannot account for, each
    pair standing for one process with that code that first ran that program or started
    with it; a largest matching, so returns the pairs left over on either side."""
    fits = [[j for j, (named, inherited, wcode) in enumerate(want)
             if wcode == code and image in (named, inherited)] for image, code in got]
    owner = {}

    def place(i, seen):
        for j in fits[i]:
            if j not in seen:
                seen.add(j)
                if j not in owner or place(owner[j], seen):
                    owner[j] = i
                    return True
        return False

    placed = {i for i in range(len(got)) if place(i, set())}
    return ([got[i] for i in range(len(got)) if i not in placed],
            [want[j] for j in range(len(want)) if j not in owner])


def test_oracle(cfg):
    strace = shutil.which('strace')
    make = shutil.which('make')
    if not strace or not make:
        skip('the oracle needs strace and make; install them (apt-get install strace make)')
    work = os.path.join(cfg['work'], 'oracle')
    os.makedirs(work, exist_ok=True)
    fix, lfix = cfg['fixture'], cfg['linuxfixture']
    recipes = ['%s exit 0' % fix, '-%s exit 3' % fix, '%s tree 1 3 0' % fix, '-%s crash' % fix,
               "sh -c 'true | cat; (exit 2); exit 0'", '-%s signal 15' % lfix,
               '%s spawn 2 9' % lfix, '%s threads 20 0' % lfix, '-%s signal 6' % lfix,
               '%s vfork 1' % lfix] * 2
    with open(os.path.join(work, 'gen.mk'), 'w') as f:
        f.write('all: %s\n' % ' '.join('t%d' % i for i in range(len(recipes))))
        for i, recipe in enumerate(recipes):
            f.write('t%d:\n\t%s\n' % (i, recipe))
    make_args = [make, '-s', '-k', '-j4', '-f', 'gen.mk']
    r = dorvane(cfg, make_args, timeout=120, cwd=work)
    subprocess.run([strace, '-f', '-e', 'trace=process', '-o', 'strace.log'] + make_args,
                   cwd=work, stdout=subprocess.DEVNULL, timeout=120 * SCALE)
    with open(os.path.join(work, 'strace.log')) as f:
        want = parse_strace(f.read())
    got = [(p.image, p.code) for p in r.procs]
    check(len(want) > 30, 'strace saw the workload (%d processes)' % len(want))
    extra, missing = unmatched(got, want)
    check(not extra and not missing, 'dorvane and strace agree\n dorvane only: %r\n strace only: '
          '%r' % (extra, missing), r.text)
