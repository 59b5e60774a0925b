"""Reads dorvane's report of a run and checks that it is whole: every process reported
once as new and once as ended, in that order, even where a pid was used again. Shared by
the stress tests and the benchmarks."""
import collections
import re

NEW = re.compile(r'\tnew process pid (\d+)$')
END = re.compile(r'\t(exit|crash) process pid (\d+)(?: ecode 0x([0-9a-f]+))?$')


class Tally:
    def __init__(self):
        self.processes = 0      # new-process lines
        self.codes = collections.Counter()  # exit code -> ends; None for an end without one
        self.reused = 0         # pids that came back after their earlier process had ended
        self.faults = []
        self.root = None        # the code of the final line
        self.images = collections.Counter()  # program named by each new-process report


def tally(text):
    t, alive, seen, image = Tally(), set(), set(), None
    for line in text.replace('\r\n', '\n').split('\n'):
        if line.startswith('file "') or line.startswith('GetProcessImageFileName()'):
            image = line
            continue
        m = NEW.match(line)
        if m:
            pid = int(m.group(1))
            if pid in alive:
                t.faults.append('pid %d new twice without an end' % pid)
            if pid in seen:
                t.reused += 1
            alive.add(pid)
            seen.add(pid)
            t.processes += 1
            t.images[image] += 1
            image = None
            continue
        m = END.match(line)
        if m:
            pid = int(m.group(2))
            if pid not in alive:
                t.faults.append('pid %d ended without being new' % pid)
            alive.discard(pid)
            t.codes[int(m.group(3), 16) if m.group(3) else None] += 1
            continue
        m = re.match(r'root process exited with exit code 0x([0-9a-f]+)$', line)
        if m:
            t.root = int(m.group(1), 16)
            if alive:
                t.faults.append('%d processes still unended at the root line' % len(alive))
    if t.root is None:
        t.faults.append('no root line')
    if None in t.codes:
        t.faults.append('%d ends without an exit code' % t.codes[None])
    return t
