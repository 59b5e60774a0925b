"""What the test drivers and the benchmarks share: dorvane's report parsed once, and the
harness that runs named groups of checks, polls against a deadline scaled for slow hosts
(DORVANE_TEST_TIME_SCALE) and skips what cannot run on this machine."""
import collections
import os
import re
import subprocess
import sys
import time

SCALE = float(os.environ.get('DORVANE_TEST_TIME_SCALE', '1'))
SKIP = 77  # CTest's SKIP_RETURN_CODE for the suites
failures = []

NEW = re.compile(r'\tnew process pid (\d+)$')
END = re.compile(r'\t(exit|crash) process pid (\d+)(?: ecode 0x([0-9a-f]+))?$')
ROOT = re.compile(r'root process exited with exit code 0x([0-9a-f]+)$')


def check(condition, what, output=None):
    """Records a failure unless condition holds; output, text or any value, goes with it."""
    if not condition:
        shown = output if isinstance(output, str) or output is None else repr(output)
        failures.append(what + ('' if shown is None else '\n--- output ---\n' + shown))
    return condition


def poll(condition, seconds):
    """Waits until condition() holds or the scaled deadline passes; returns its last value."""
    deadline = time.monotonic() + seconds * SCALE
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.01)


def skip(reason):
    print('SKIPPED: ' + reason)
    sys.exit(SKIP)


def skip_unless_tracker_starts(dorvane):
    """A tracker forced by DORVANE_TRACKER that cannot start here makes the test skip, with
    the reason, rather than pass."""
    tracker = os.environ.get('DORVANE_TRACKER')
    if not tracker:
        return
    out = subprocess.run([dorvane, '/bin/true'], stdout=subprocess.PIPE,
                         stdin=subprocess.DEVNULL).stdout.decode(errors='replace')
    if 'CreateJobObject() failed' in out:
        skip('the %s tracker cannot start here (uid %d):\n%s' % (tracker, os.getuid(), out))


class Process:
    """One process of a report: its pid, the program it was named by (None where dorvane
    could not read it), the index of its new-process line, and its end once reported."""

    def __init__(self, pid, image, at):
        self.pid, self.image, self.at = pid, image, at
        self.wording = self.code = self.endat = None


class Report:
    """dorvane's report of one run, parsed once. A pid that comes back after its process
    ended is a new process; faults lists what keeps the report from being whole: a process
    new twice, an end of none, an end without a code, one not ended by the root line."""

    def __init__(self, data, status=None):
        if isinstance(data, bytes):
            try:
                text, self.utf8 = data.decode('utf-8'), True
            except UnicodeDecodeError:
                text, self.utf8 = data.decode('utf-8', errors='replace'), False
        else:
            text, self.utf8 = data, True
        self.text, self.status = text, status
        # Wine writes \r\n.
        self.lines = text.replace('\r\n', '\n').split('\n')
        self.newline = self.lines[-1] == ''
        if self.newline:
            self.lines.pop()
        self.procs, self.faults, self.root, self.reused = [], [], None, 0
        alive, seen, image, ends = {}, set(), None, []
        for index, line in enumerate(self.lines):
            if line.startswith('file "') and line.endswith('"'):
                image = line[6:-1]
                continue
            m = NEW.match(line)
            if m:
                pid = int(m.group(1))
                if pid in alive:
                    self.faults.append('pid %d new twice without an end' % pid)
                self.reused += pid in seen and pid not in alive
                seen.add(pid)
                alive[pid] = Process(pid, image, index)
                self.procs.append(alive[pid])
                image = None
                continue
            image = None
            m = END.match(line)
            if m:
                p = alive.pop(int(m.group(2)), None)
                if p is None:
                    self.faults.append('pid %s ended without being new' % m.group(2))
                    continue
                p.wording, p.endat = m.group(1), index
                p.code = int(m.group(3), 16) if m.group(3) else None
                if p.code is None:
                    self.faults.append('pid %d ended without a code' % p.pid)
                continue
            m = ROOT.match(line)
            if m:
                self.root = int(m.group(1), 16)
                if alive:
                    self.faults.append('pids %s not ended at the root line' %
                                       sorted(alive)[:5])
        if self.root is None:
            self.faults.append('no root line')

    def pids(self, kind='new'):
        """Pids of the per-process lines of one kind (new, exit or crash), in their order."""
        pattern = re.compile(r'\t%s process pid (\d+)' % kind)
        return [int(m.group(1)) for m in map(pattern.match, self.lines) if m]

    def codes(self):
        """(wording, code) of every end, sorted."""
        return sorted((p.wording, p.code) for p in self.procs if p.endat is not None)

    def code_counts(self):
        return collections.Counter(p.code for p in self.procs if p.endat is not None)

    def image_counts(self):
        return collections.Counter(p.image for p in self.procs)

    def tree_faults(self, count, rootcode):
        """What keeps this from being the whole report of count processes ended by a root
        that ended with rootcode; empty when nothing does."""
        faults = list(self.faults)
        if len(self.procs) != count:
            faults.append('%d processes reported new, %d expected' % (len(self.procs), count))
        final = ['root process exited with exit code 0x%x' % rootcode,
                 'dorvane.exe: Exiting with exit code 0x%x' % rootcode]
        if self.lines[-2:] != final or not self.newline:
            faults.append('final lines')
        if self.status is not None and self.status != rootcode & 0xff:
            faults.append('exit status %d' % self.status)
        return faults


def letgo(proc):
    """Reads a run's first lines, from an unbuffered pipe, until the root's own, then waits
    until dorvane has let the root go: it resumes the root just after writing that line,
    so a dorvane stopped at once could otherwise keep the root from ever running. Returns
    the lines and the root's pid."""
    head = proc.stdout.readline()
    root = int(head.split(b'= ')[1])
    while not head.endswith(b'\tnew process pid %d\n' % root):
        head += proc.stdout.readline()
    poll(lambda: taskstate(root) not in ('T', 't'), 10)
    return head, root


def taskstate(pid):
    """The state letter of process pid (R, S, T, Z...); None once it is gone."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            return f.read().rsplit(') ', 1)[1][0]
    except OSError:
        return None


def zombie(pid):
    """Whether process pid has ended and waits to be reaped."""
    return taskstate(pid) == 'Z'


def run(argv, timeout=60, **options):
    """Runs dorvane to its end with nothing on its standard input; its report."""
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          timeout=timeout * SCALE, **options)
    return Report(proc.stdout, proc.returncode)


def groups(namespace):
    """The groups of checks a module defines: its functions named test_GROUP."""
    return {name[5:]: f for name, f in namespace.items() if name.startswith('test_')}


def main(tests, names, cfg):
    """Runs the named groups in turn, each a function of cfg, printing whether each held and
    its time, then every failure; exits with 1 if any check failed."""
    for name in names:
        started = time.monotonic()
        before = len(failures)
        tests[name](cfg)
        print('%s %s (%.1f s)' % (name, 'ok' if len(failures) == before else 'FAILED',
                                   time.monotonic() - started), flush=True)
    for failure in failures:
        print('FAIL:', failure)
    sys.exit(1 if failures else 0)
