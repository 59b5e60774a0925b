"""What the native scenarios share: dorvane run on the fixtures, the tree check and what
/proc tells of a process."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import Report, check, run  # noqa: E402


def dorvane(cfg, args, timeout=60, exe=None, cwd=None, **options):
    return run([exe or cfg['dorvane']] + args, timeout, cwd=cwd or cfg['work'], **options)


def dorvane_usage(cfg, args, cwd=None):
    """dorvane's run and its resource usage, which subprocess.run does not give."""
    proc = subprocess.Popen([cfg['dorvane']] + args, stdout=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, cwd=cwd or cfg['work'])
    data = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    return Report(data, os.waitstatus_to_exitcode(status)), usage


def fx(cfg, *args):
    return [cfg['fixture']] + list(args)


def lfx(cfg, *args):
    return [cfg['linuxfixture']] + list(args)


def expect_tree(r, count, rootcode, what):
    faults = r.tree_faults(count, rootcode)
    return check(not faults, '%s: %s' % (what, '; '.join(faults)), r.text)


def fresh(path):
    """path, with what an earlier run left there removed."""
    if os.path.exists(path):
        os.remove(path)
    return path


def readint(path):
    try:
        with open(path) as f:
            return int(f.read().strip() or 0)
    except (OSError, ValueError):
        return 0


def group_members(pgid):
    """The live (not zombie) processes of a process group."""
    pids = []
    for entry in os.listdir('/proc'):
        try:
            with open('/proc/%s/stat' % entry) as f:
                stat = f.read()
        except (OSError, ValueError):
            continue
        fields = stat[stat.rindex(')') + 2:].split()
        if fields[0] != 'Z' and int(fields[2]) == pgid:
            pids.append(int(entry))
    return pids


def state(pid):
    """The state letter of a process (T stopped, t stopped by its tracer); '' once gone."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            stat = f.read()
    except OSError:
        return ''
    return stat[stat.rindex(')') + 2]


class Heartbeat:
    """The files a beating root (and child, in FILE.child) appends its pid to, a line a beat,
    and the file that stops them. As a context it stops them on its way out, failed or not."""

    def __init__(self, folder, name):
        self.path = os.path.join(folder, name)
        self.files = (self.path, self.path + '.child')
        self.stop = self.path + '.stop'
        for f in self.files + (self.stop,):
            fresh(f)

    def tree(self, cfg, ms=20):
        """The fixture's call for a root that beats and starts a child that beats."""
        return lfx(cfg, 'beats', self.path, str(ms))

    def alone(self, cfg, ms=20):
        return lfx(cfg, 'beat', self.path, self.stop, str(ms))

    def counts(self):
        return [self._read(f).count('\n') for f in self.files]

    def pids(self):
        return [int(self._read(f).split('\n', 1)[0] or 0) for f in self.files]

    def _read(self, path):
        try:
            with open(path) as f:
                return f.read()
        except OSError:
            return ''

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        open(self.stop, 'w').close()
