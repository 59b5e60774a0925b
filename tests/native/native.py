#!/usr/bin/env python3
"""Native scenarios of dorvane on Linux: process trees the kernel makes hard to follow
(orphans, daemons, threads, exec from a thread, posix_spawn, vfork, clone3), deaths by
signal, failures to start, bytes that are not UTF-8, job control at a terminal, a closed
standard output, dorvane killed, an oracle check against strace, and the negative control
that shows the tree check failing when descendants are not followed.

usage: native.py --dorvane PATH --fixture PATH --linuxfixture PATH --work DIR
                 [--nofollow PATH] GROUP...
"""
import argparse
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from trackers import skip_unless_tracker_starts  # noqa: E402

SCALE = float(os.environ.get('DORVANE_TEST_TIME_SCALE', '1'))
SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests
failures = []


def check(condition, what, output=None):
    if not condition:
        failures.append(what + ('' if output is None else '\n--- output ---\n' + output))
    return condition


def poll(condition, seconds):
    """Waits until condition() holds or the scaled deadline passes; returns its last value."""
    deadline = time.monotonic() + seconds * SCALE
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.01)


class Run:
    """dorvane's output, parsed: per pid its image, its end and the order of lines."""

    def __init__(self, data, status):
        self.text = data.decode('utf-8', errors='replace')
        self.status = status
        self.lines = self.text.split('\n')
        self.new, self.ends, self.images = [], {}, {}
        image = None
        for index, line in enumerate(self.lines):
            m = re.match(r'file "(.*)"$', line)
            if m:
                image = m.group(1)
            m = re.match(r'\tnew process pid (\d+)$', line)
            if m:
                pid = int(m.group(1))
                self.new.append((pid, index))
                self.images[pid] = image
                image = None
            m = re.match(r'\t(exit|crash) process pid (\d+)(?: ecode 0x([0-9a-f]+))?$', line)
            if m:
                code = int(m.group(3), 16) if m.group(3) else None
                self.ends.setdefault(int(m.group(2)), []).append((m.group(1), code, index))

    def pids(self):
        return [pid for pid, _ in self.new]

    def codes(self):
        """(wording, code) of every end, sorted."""
        return sorted((e[0], e[1]) for ends in self.ends.values() for e in ends)


def dorvane(cfg, args, timeout=60, exe=None, cwd=None):
    proc = subprocess.run([exe or cfg['dorvane']] + args, stdout=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, cwd=cwd or cfg['work'],
                          timeout=timeout * SCALE)
    return Run(proc.stdout, proc.returncode)


def dorvane_usage(cfg, args, cwd=None):
    """dorvane's run and its resource usage, which subprocess.run does not give."""
    proc = subprocess.Popen([cfg['dorvane']] + args, stdout=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, cwd=cwd or cfg['work'])
    data = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return Run(data, proc.returncode), usage


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


def decode_name(text):
    """The bytes of a name as dorvane escapes it on Linux."""
    out, i = bytearray(), 0
    while i < len(text):
        c = text[i]
        if c != '\\':
            out += c.encode()
            i += 1
        elif text[i + 1] == 'x':
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out += {'n': b'\n', 't': b'\t', '"': b'"', '\\': b'\\'}[text[i + 1]]
            i += 2
    return bytes(out)


def tree_faults(r, count, rootcode):
    """What is wrong with a run that should report count processes, each once new and once
    ended after it, and end with the root's code; empty when nothing is."""
    faults = []
    pids = r.pids()
    if len(pids) != count or len(set(pids)) != count:
        faults.append('%d processes reported new, %d expected' % (len(pids), count))
    for pid, at in r.new:
        ends = r.ends.get(pid, [])
        if len(ends) != 1:
            faults.append('pid %d ended %d times' % (pid, len(ends)))
        elif ends[0][2] < at or ends[0][1] is None:
            faults.append('pid %d: end line before its new line, or without a code' % pid)
    if set(r.ends) - set(pids):
        faults.append('ends of pids never reported new')
    final = ['root process exited with exit code 0x%x' % rootcode,
             'dorvane.exe: Exiting with exit code 0x%x' % rootcode, '']
    if r.lines[-3:] != final:
        faults.append('final lines')
    if r.status != rootcode & 0xff:
        faults.append('exit status %d' % r.status)
    return faults


def expect_tree(r, count, rootcode, what):
    faults = tree_faults(r, count, rootcode)
    check(not faults, '%s: %s' % (what, '; '.join(faults)), r.text)


def lfx(cfg, *args):
    return [cfg['linuxfixture']] + list(args)


def fx(cfg, *args):
    return [cfg['fixture']] + list(args)


def test_trees(cfg):
    # 1 + 3 + 9 + 27 processes, each waiting for its children.
    r = dorvane(cfg, fx(cfg, 'tree', '3', '3', '6'))
    expect_tree(r, 40, 6, 'tree of 40')
    check(all(r.ends[p][0][1] == 6 for p in r.pids() if p in r.ends), 'every code 0x6', r.text)
    check(all(i and i == cfg['fixture'] for i in r.images.values()), 'images', r.text)
    # A daemon: double fork and setsid, the grandchild outlives both others.
    marker = os.path.join(cfg['work'], 'daemon-marker')
    if os.path.exists(marker):
        os.remove(marker)
    r = dorvane(cfg, lfx(cfg, 'daemon', str(int(300 * SCALE)), marker))
    expect_tree(r, 3, 0, 'daemon')
    check(os.path.exists(marker), 'dorvane waited for the daemon', r.text)
    if len(r.new) == 3:
        root = r.new[0][0]
        check(r.ends[root][0][2] < r.ends[r.new[2][0]][0][2], 'root ends first', r.text)
    # A child that only forks is announced when it starts, not when it first does
    # something: before its parent's end; dorvane sleeps while nothing is due.
    r, usage = dorvane_usage(cfg, lfx(cfg, 'forkonly', str(int(1000 * SCALE)),
                                      str(int(300 * SCALE))))
    expect_tree(r, 2, 0, 'fork-only child')
    if len(r.new) == 2:
        check(r.new[1][1] < r.ends[r.new[0][0]][0][2],
              'fork-only child announced before its parent ends', r.text)
    check(usage.ru_nvcsw < 40, 'dorvane sleeps while idle (%d wake-ups)' % usage.ru_nvcsw)
    # A child no tracer is told of, outliving its creator: waited for and reported.
    marker = os.path.join(cfg['work'], 'untraced-marker')
    if os.path.exists(marker):
        os.remove(marker)
    out = os.path.join(cfg['work'], 'untraced-out')
    with open(out, 'wb') as sink:  # not a pipe, which the child would hold open
        status = subprocess.run([cfg['dorvane']] + lfx(cfg, 'untraced', str(int(500 * SCALE)),
                                                       marker), stdout=sink, cwd=cfg['work'],
                                timeout=60 * SCALE).returncode
    with open(out, 'rb') as f:
        r = Run(f.read(), status)
    check(os.path.exists(marker), 'dorvane waited for the untraced child', r.text)
    expect_tree(r, 2, 0, 'untraced child')
    check(('exit', 3) in r.codes(), 'the untraced child\'s end and code', r.text)
    # A child made the sibling of its creator (CLONE_PARENT) is still of the tree.
    r = dorvane(cfg, lfx(cfg, 'cloneparent', '6'))
    expect_tree(r, 2, 0, 'CLONE_PARENT child')
    check(('exit', 6) in r.codes(), 'the CLONE_PARENT child\'s code', r.text)
    # Two runs at once each report their own tree and nothing of the other's.
    runs = [subprocess.Popen([cfg['dorvane']] + fx(cfg, 'tree', '2', '3', str(code)),
                             stdout=subprocess.PIPE, cwd=cfg['work']) for code in (1, 2)]
    for code, proc in zip((1, 2), runs):
        r = Run(proc.communicate(timeout=60 * SCALE)[0], proc.returncode)
        expect_tree(r, 13, code, 'concurrent run %d' % code)
    # In a pid namespace of its own, dorvane reports the pids that namespace shows.
    unshare = shutil.which('unshare')
    if os.getuid() == 0 and unshare:
        pidfile = os.path.join(cfg['work'], 'nspid')
        script = os.path.join(cfg['work'], 'nspid.sh')
        with open(script, 'w') as f:
            f.write('echo $$ > %s; %s exit 0\n' % (pidfile, cfg['fixture']))
        proc = subprocess.run([unshare, '-p', '-f', '--mount-proc', cfg['dorvane'], '/bin/sh',
                               script], stdout=subprocess.PIPE, cwd=cfg['work'],
                              timeout=60 * SCALE)
        r = Run(proc.stdout, proc.returncode)
        expect_tree(r, 2, 0, 'pid namespace')
        check(r.pids()[:1] == [beatvalue(pidfile)] and r.pids()[0] < 10,
              'the root\'s pid as its namespace shows it (%d)' % beatvalue(pidfile), r.text)


def test_kinds(cfg):
    r = dorvane(cfg, lfx(cfg, 'threads', '200', '3'))
    expect_tree(r, 1, 3, '200 threads are no processes')
    # The leader is gone after an exec from another thread; the process goes on as the
    # program that thread execs.
    r = dorvane(cfg, lfx(cfg, 'threadexec', '/bin/sh', '-c', '"exit 6"'))
    expect_tree(r, 1, 6, 'exec from a thread')
    r = dorvane(cfg, lfx(cfg, 'spawn', '3', '4'))
    expect_tree(r, 4, 0, 'posix_spawn')
    check(r.codes() == [('exit', 0)] + [('exit', 4)] * 3, 'posix_spawn codes', r.text)
    r = dorvane(cfg, lfx(cfg, 'vfork', '5'))
    expect_tree(r, 2, 0, 'vfork')
    check(r.codes() == [('exit', 0), ('exit', 5)], 'vfork codes', r.text)
    r = dorvane(cfg, lfx(cfg, 'clone3', '7'))
    expect_tree(r, 3, 0, 'clone3, with and without an exit signal')
    check(r.codes() == [('exit', 0), ('exit', 7), ('exit', 8)], 'clone3 codes', r.text)


def test_images(cfg):
    # A child that execs is named by what it execs; one that only forks, by its parent's.
    r = dorvane(cfg, ['sh', '-c', '"(exit 3); %s exit 4; exit 5"' % cfg['fixture']])
    expect_tree(r, 3, 5, 'shell with a subshell and a program')
    shell = os.path.realpath(shutil.which('sh'))
    check(sorted(r.images.values()) == sorted([shell, shell, cfg['fixture']]), 'images',
          r.text)
    # An image name longer than the core's 260 characters: error 0x7a, still reported.
    deep = os.path.join(cfg['work'], 'd' * 200, 'e' * 100)
    os.makedirs(deep, exist_ok=True)
    exe = os.path.join(deep, 'fixture')
    shutil.copy2(cfg['fixture'], exe)
    r = dorvane(cfg, [exe, 'exit', '2'])
    check('GetProcessImageFileName() failed errno 0x7a' in r.lines, 'long name: 0x7a', r.text)
    expect_tree(r, 1, 2, 'long name')


def test_signals(cfg):
    f = cfg['linuxfixture']
    script = '"%s signal 11; %s signal 6; %s signal 15; %s signal 9; exit 0"' % (f, f, f, f)
    r = dorvane(cfg, ['sh', '-c', script])
    expect_tree(r, 5, 0, 'children dying of signals')
    check(r.codes() == [('crash', 0x86), ('crash', 0x8b), ('exit', 0), ('exit', 0x89),
                        ('exit', 0x8f)], 'crash lines for SEGV and ABRT, exit for TERM, KILL',
          r.text)
    r = dorvane(cfg, lfx(cfg, 'signal', '6'))
    check(r.codes() == [('crash', 0x86)] and r.status == 0x86, 'root aborts', r.text)
    # dorvane ignores SIGPIPE for itself; a writer to a closed pipe below it still dies of it.
    r = dorvane(cfg, ['sh', '-c', '"yes | head -c 1 >/dev/null"'])
    check(('exit', 0x8d) in r.codes(), 'SIGPIPE reaches the programs', r.text)
    # Real-time signals queue: every one sent reaches the program.
    out = os.path.join(cfg['work'], 'rtcount')
    for f in (out, out + '.pid'):
        if os.path.exists(f):
            os.remove(f)
    proc = subprocess.Popen([cfg['dorvane']] + lfx(cfg, 'rtcount', '50', out),
                            stdout=subprocess.DEVNULL, cwd=cfg['work'])
    if check(poll(lambda: beatvalue(out + '.pid'), 10), 'rtcount started'):
        for _ in range(50):
            os.kill(beatvalue(out + '.pid'), signal.SIGRTMIN)
    proc.wait(timeout=30 * SCALE)
    check(beatvalue(out) == 50, 'all 50 real-time signals delivered, got %d' % beatvalue(out))


def test_groupsignals(cfg):
    """A signal to the whole process group reaches every program, as without dorvane,
    however it meets dorvane: SIGTERM and SIGHUP end it by the same signal after the tree
    has them; SIGINT it outlives and reports."""
    for sig, status in ((signal.SIGTERM, -signal.SIGTERM), (signal.SIGHUP, -signal.SIGHUP),
                        (signal.SIGINT, 128 + signal.SIGINT)):
        survived, statuses = 0, set()
        for _ in range(20):
            proc = subprocess.Popen([cfg['dorvane']] + lfx(cfg, 'sleepers', '6'),
                                    stdout=subprocess.DEVNULL, cwd=cfg['work'],
                                    start_new_session=True)
            # dorvane, the root and its six children
            poll(lambda: len(group_members(proc.pid)) == 8, 10)
            os.killpg(proc.pid, sig)
            statuses.add(proc.wait(timeout=30 * SCALE))
            if not poll(lambda: not group_members(proc.pid), 3):
                survived += 1
                os.killpg(proc.pid, signal.SIGKILL)
        check(survived == 0, '%s: programs survived in %d runs of 20' % (sig.name, survived))
        check(statuses == {status}, '%s: dorvane ends with %r' % (sig.name, statuses))


def test_launch(cfg):
    work = cfg['work']
    plain = os.path.join(work, 'plain.txt')
    with open(plain, 'w') as f:
        f.write('not a program\n')
    os.chmod(plain, 0o644)
    garbage = os.path.join(work, 'garbage')
    with open(garbage, 'wb') as f:
        f.write(b'\x00\x01\x02 no format')
    os.chmod(garbage, 0o755)
    script = os.path.join(work, 'script')
    with open(script, 'w') as f:
        f.write('#!/no/such/interpreter\nexit 0\n')
    os.chmod(script, 0o755)
    cases = [('no-such-program', 0x2), ('./no/such/path', 0x2), (plain, 0x5), (work, 0x5),
             (garbage, 0xc1), (script, 0x2), (plain + '/below', 0x3)]
    for program, code in cases:
        r = dorvane(cfg, [program, 'x'])
        check(r.lines == ['dorvane.exe: CreateProcess() failed errno 0x%x' % code,
                          'dorvane.exe: Exiting with exit code 0x%x' % code, ''] and
              r.status == code, '%s: error 0x%x' % (program, code), r.text)
    # A program found on PATH, after a directory where it is not executable.
    bindir = os.path.join(work, 'bin')
    os.makedirs(bindir, exist_ok=True)
    shutil.copy2(plain, os.path.join(bindir, 'fixture'))
    env = dict(os.environ, PATH=bindir + ':' + os.path.dirname(cfg['fixture']))
    proc = subprocess.run([cfg['dorvane'], 'fixture', 'exit', '3'], env=env, cwd=work,
                          stdout=subprocess.PIPE, timeout=30 * SCALE)
    check(proc.returncode == 3, 'PATH search passes a file it cannot run',
          proc.stdout.decode(errors='replace'))


def test_bytes(cfg):
    out = os.path.join(cfg['work'], 'args-bytes.txt')
    arg = b'caf\xe9-\xff\xfe-\xc3\xa9'
    proc = subprocess.run([cfg['dorvane'].encode(), cfg['fixture'].encode(), b'args',
                           out.encode(), arg], stdout=subprocess.PIPE, cwd=cfg['work'],
                          timeout=30 * SCALE)
    with open(out, 'rb') as f:
        got = f.read().split(b'\n')
    check(proc.returncode == 0 and b'arg=' + arg in got, 'argument bytes reach the child: %r'
          % got)
    # A program whose name is not UTF-8: its bytes are written escaped, the output stays UTF-8.
    folder = os.path.join(cfg['work'].encode(), b'bad-\xff\xfe')
    os.makedirs(folder, exist_ok=True)
    exe = os.path.join(folder, b'fixture')
    shutil.copy2(cfg['fixture'].encode(), exe)
    proc = subprocess.run([cfg['dorvane'].encode(), exe, b'exit', b'1'],
                          stdout=subprocess.PIPE, cwd=cfg['work'], timeout=30 * SCALE)
    text = proc.stdout.decode('utf-8', errors='strict')
    check('bad-\\xff\\xfe/fixture"' in text and proc.returncode == 1, 'escaped name', text)
    # A name that would break its line and forge others reads back whole from its one line.
    # Blanks would split the command line, so a shell runs it.
    folder = os.path.join(cfg['work'].encode(), b'forge\n\tnew process pid 1\t"q\\\x01\x7f\xff')
    os.makedirs(folder, exist_ok=True)
    exe = os.path.join(folder, b'fixture')
    shutil.copy2(cfg['fixture'].encode(), exe)
    script = os.path.join(cfg['work'], 'forge.sh')
    with open(script, 'wb') as f:
        f.write(b"'" + exe + b"' exit 2\n")
    r = dorvane(cfg, ['/bin/sh', script])
    expect_tree(r, 2, 2, 'forging name')
    files = [decode_name(l[6:-1]) for l in r.lines if l.startswith('file "') and l[-1] == '"']
    check(os.path.realpath(exe) in files, 'forging name decodes', r.text)


def minishell(argv, out, report, go):
    """In the child of pty.fork: a shell's job control for one job, so that the job's
    process group is not orphaned and the terminal's stop signals act on it."""
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    foreground_r, foreground_w = os.pipe()
    job = os.fork()
    if job == 0:
        os.setpgid(0, 0)
        signal.signal(signal.SIGTTOU, signal.SIG_DFL)
        os.read(foreground_r, 1)  # the terminal is the job's before it starts
        fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        os.dup2(fd, 1)
        os.execv(argv[0], argv)
    os.setpgid(job, job)
    os.tcsetpgrp(0, job)
    os.write(foreground_w, b'f')
    while True:
        _, status = os.waitpid(job, os.WUNTRACED)
        if not os.WIFSTOPPED(status):
            os.write(report, b'ended %d\n' % os.waitstatus_to_exitcode(status))
            return
        os.write(report, b'stopped\n')
        os.read(go, 1)  # the test's "fg"
        os.tcsetpgrp(0, job)
        os.killpg(job, signal.SIGCONT)


def underterminal(cfg, argv, out):
    """Starts argv as the foreground job of a new terminal; returns the terminal's master,
    the job's report pipe and the pipe that says "fg"."""
    report_r, report_w = os.pipe()
    go_r, go_w = os.pipe()
    pid, master = pty.fork()
    if pid == 0:
        try:
            minishell(argv, out, report_w, go_r)
        finally:
            os._exit(0)
    os.close(report_w)
    os.close(go_r)
    return pid, master, report_r, go_w


def readreport(fd, seconds):
    ready, _, _ = select.select([fd], [], [], seconds * SCALE)
    return os.read(fd, 100).decode() if ready else 'nothing'


def beatvalue(path):
    try:
        with open(path) as f:
            return int(f.read().strip() or 0)
    except (OSError, ValueError):
        return 0


def removebeats(files):
    for f in files:
        if os.path.exists(f):
            os.remove(f)


def drain(master):
    """Reads what the terminal shows, so that nothing blocks on it."""
    try:
        while select.select([master], [], [], 0)[0]:
            if not os.read(master, 4096):
                return
    except OSError:
        return


def test_terminal(cfg):
    beats = os.path.join(cfg['work'], 'beat')
    out = os.path.join(cfg['work'], 'terminal-out.txt')
    files = (beats, beats + '.child')
    count, ms = 60, 20
    argv = [cfg['dorvane']] + lfx(cfg, 'beats', beats, str(count), str(ms))
    removebeats(files)
    pid, master, report, go = underterminal(cfg, argv, out)
    check(poll(lambda: all(beatvalue(f) >= 2 for f in files), 10), 'the tree beats')
    os.write(master, b'\x1a')  # Ctrl-Z
    check(readreport(report, 10) == 'stopped\n', 'Ctrl-Z stops dorvane')
    time.sleep(0.1 * SCALE)  # beats in flight land
    before = [beatvalue(f) for f in files]
    time.sleep(5 * ms / 1000 * SCALE)
    check([beatvalue(f) for f in files] == before, 'the whole tree is stopped')
    check(before[0] < count and before[1] < count, 'stopped before its end')
    os.write(go, b'g')
    ended = readreport(report, 30)
    drain(master)
    with open(out, encoding='utf-8') as f:
        r = Run(f.read().encode(), 0 if ended == 'ended 0\n' else 1)
    check(ended == 'ended 0\n', 'fg: the run completes with 0 (%r)' % ended, r.text)
    check([beatvalue(f) for f in files] == [count, count], 'the tree ran to its end')
    expect_tree(r, 2, 0, 'after Ctrl-Z and fg')
    os.waitpid(pid, 0)
    os.close(master)
    # Ctrl-C and Ctrl-\ end the programs as usual; dorvane reports them and goes on to
    # exit with the root's code.
    for key, code, wording in ((b'\x03', 0x82, 'exit'), (b'\x1c', 0x83, 'crash')):
        removebeats(files)
        pid, master, report, go = underterminal(cfg, argv, out)
        check(poll(lambda: all(beatvalue(f) >= 1 for f in files), 10), 'the tree beats')
        os.write(master, key)
        ended = readreport(report, 30)
        drain(master)
        with open(out, encoding='utf-8') as f:
            r = Run(f.read().encode(), code)
        check(ended == 'ended %d\n' % code, '%r: dorvane exits with the root\'s code' % key,
              r.text)
        expect_tree(r, 2, code, 'after %r' % key)
        check(r.codes() == [(wording, code)] * 2, '%r: both end by the signal' % key, r.text)
        os.waitpid(pid, 0)
        os.close(master)


def test_stopped(cfg):
    # A program stopped by SIGSTOP from outside stays stopped, while the rest of the tree
    # and dorvane go on, until SIGCONT: as it would without dorvane.
    beats = os.path.join(cfg['work'], 'stop-beat')
    files = (beats, beats + '.child')
    removebeats(files)
    count, ms = 40, 20
    proc = subprocess.Popen([cfg['dorvane']] + lfx(cfg, 'beats', beats, str(count), str(ms)),
                            stdout=subprocess.PIPE, cwd=cfg['work'])
    pids = []
    for line in proc.stdout:
        m = re.match(rb'\tnew process pid (\d+)', line)
        if m:
            pids.append(int(m.group(1)))
        if len(pids) == 2:
            break
    check(poll(lambda: beatvalue(files[1]) >= 1, 10), 'the child beats')
    os.kill(pids[1], signal.SIGSTOP)
    time.sleep(0.1 * SCALE)
    stopped, root = beatvalue(files[1]), beatvalue(files[0])
    time.sleep(10 * ms / 1000 * SCALE)
    check(beatvalue(files[1]) == stopped, 'the stopped child stays stopped')
    check(beatvalue(files[0]) > root, 'the root goes on meanwhile')
    os.kill(pids[1], signal.SIGCONT)
    rest = proc.stdout.read()
    status = proc.wait(timeout=30 * SCALE)
    check(status == 0 and beatvalue(files[1]) == count, 'SIGCONT: the child runs to its end',
          rest.decode(errors='replace'))


def test_stdout(cfg):
    # The reader goes away after the first line: dorvane still waits for the whole tree.
    marker = os.path.join(cfg['work'], 'stdout-marker')
    if os.path.exists(marker):
        os.remove(marker)
    proc = subprocess.Popen([cfg['dorvane']] + fx(cfg, 'orphan', str(int(500 * SCALE)),
                                                  marker, '4'),
                            stdout=subprocess.PIPE, cwd=cfg['work'])
    first = proc.stdout.readline()
    proc.stdout.close()
    status = proc.wait(timeout=30 * SCALE)
    check(first.startswith(b'dorvane.exe: CreateProcess() made pid'), 'first line')
    check(status == 4, 'exit code 4 with stdout closed, got %d' % status)
    check(os.path.exists(marker), 'waited for the orphan with stdout closed')


def test_detach(cfg):
    # dorvane killed: its programs are let go, not killed, and run to their end.
    marker = os.path.join(cfg['work'], 'detach-marker')
    if os.path.exists(marker):
        os.remove(marker)
    proc = subprocess.Popen([cfg['dorvane']] + fx(cfg, 'late', str(int(400 * SCALE)), marker),
                            stdout=subprocess.PIPE, cwd=cfg['work'])
    for line in proc.stdout:
        if line.startswith(b'\tnew process'):
            break
    proc.kill()
    proc.wait(timeout=30 * SCALE)
    check(poll(lambda: os.path.exists(marker), 10), 'the program outlived dorvane')


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
        print('SKIPPED: the oracle needs strace and make; install them (apt-get install '
              'strace make)')
        sys.exit(SKIP)
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
    got = sorted((r.images.get(pid), r.ends[pid][0][1] if pid in r.ends else None)
                 for pid in r.pids())
    check(len(want) > 30, 'strace saw the workload (%d processes)' % len(want))
    extra, missing = unmatched(got, want)
    check(not extra and not missing, 'dorvane and strace agree\n dorvane only: %r\n strace only: '
          '%r' % (extra, missing), r.text)


def schedfields(pid):
    """Nice-derived priority and time slice of a process, from /proc/PID/sched."""
    fields = {}
    with open('/proc/%d/sched' % pid) as f:
        for line in f:
            name, _, value = line.partition(':')
            fields[name.strip()] = value.strip()
    return fields.get('prio'), fields.get('se.slice')


def test_sched(cfg):
    """dorvane asks for a short time slice for itself; the programs it runs get none of it,
    and the nice value it was started with stays."""
    marker = os.path.join(cfg['work'], 'sched-marker')
    proc = subprocess.Popen(['nice', '-n', '3', cfg['dorvane'], cfg['fixture'], 'late',
                             str(int(3000 * SCALE)), marker], stdout=subprocess.DEVNULL,
                            cwd=cfg['work'])
    try:
        def root():
            try:
                with open('/proc/%d/task/%d/children' % (proc.pid, proc.pid)) as f:
                    children = f.read().split()
            except OSError:
                return None
            return int(children[0]) if children else None
        def execed():
            pid = root()
            try:
                return pid if pid and os.readlink('/proc/%d/exe' % pid) == cfg['fixture'] else None
            except OSError:
                return None
        pid = poll(execed, 10)
        if check(pid is not None, 'the root runs the fixture under dorvane'):
            ours, theirs = schedfields(proc.pid), schedfields(pid)
            plain = schedfields(os.getpid())
            check(ours[0] == theirs[0] and ours[0] != plain[0],
                  'nice kept for dorvane and its root: %r %r' % (ours, theirs))
            if plain[1] is not None:  # kernels that show the slice
                check(theirs[1] == plain[1], 'the root has the default slice: %r' % (theirs,))
    finally:
        proc.wait(timeout=30 * SCALE)


def test_transparent(cfg):
    """Under the eBPF tracker nothing of the tree is stopped or traced: programs that trace,
    are traced or change privilege behave as they do without dorvane."""
    # LeakSanitizer's report and exit code (its check runs in a process of its own, which
    # ptrace would have kept from attaching).
    plain = subprocess.run([cfg['leakfixture']], stderr=subprocess.PIPE, cwd=cfg['work'],
                           timeout=60 * SCALE)
    proc = subprocess.run([cfg['dorvane'], cfg['leakfixture']], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, cwd=cfg['work'], timeout=60 * SCALE)
    r = Run(proc.stdout, proc.returncode)
    report = b'ERROR: LeakSanitizer: detected memory leaks'
    check(report in plain.stderr and plain.returncode != 0, 'the leak report without dorvane')
    check(report in proc.stderr and proc.returncode == plain.returncode,
          'the leak report under dorvane', proc.stderr.decode(errors='replace'))
    expect_tree(r, len(r.pids()), plain.returncode, 'leaking program')
    # A debugger runs its program to the end.
    gdb = shutil.which('gdb')
    if check(gdb, 'gdb is installed'):
        args = [gdb, '-batch', '-nx', '-ex', 'run', '--args', cfg['linuxfixture'], 'exit', '3']
        plain = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               cwd=cfg['work'], timeout=60 * SCALE)
        proc = subprocess.run([cfg['dorvane']] + args, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, cwd=cfg['work'], timeout=60 * SCALE)
        done = rb'\[Inferior 1 \(process \d+\) exited with code 03\]'
        check(re.search(done, plain.stdout) and plain.returncode == 0, 'gdb without dorvane',
              plain.stdout.decode(errors='replace'))
        check(re.search(done, proc.stdout) and proc.returncode == 0, 'gdb under dorvane',
              proc.stdout.decode(errors='replace'))
    # dorvane inside dorvane: the inner run reports its tree, the outer one everything.
    inner = os.path.join(cfg['work'], 'inner.txt')
    script = os.path.join(cfg['work'], 'nested.sh')
    with open(script, 'w') as f:
        f.write('%s %s tree 1 2 4 > %s\n' % (cfg['dorvane'], cfg['fixture'], inner))
    r = dorvane(cfg, ['/bin/sh', script])
    expect_tree(r, 5, 4, 'the outer run: shell, inner dorvane, root and 2 children')
    with open(inner, 'rb') as f:
        expect_tree(Run(f.read(), 4), 3, 4, 'the inner run')
    # With file capabilities, run by an ordinary user: the programs get none of them, and a
    # set-user-ID program keeps its privilege.
    if os.getuid() != 0 or not shutil.which('setcap'):
        print('the file-capability case needs root and setcap: not run')
        return
    folder = tempfile.mkdtemp(prefix='dorvane-caps-')
    os.chmod(folder, 0o755)
    capped = os.path.join(folder, 'dorvane')
    shutil.copy2(cfg['dorvane'], capped)
    subprocess.run(['setcap', 'cap_bpf,cap_perfmon+ep', capped], check=True)
    setuid = os.path.join(folder, 'id')
    shutil.copy2(shutil.which('id'), setuid)
    os.chmod(setuid, 0o4755)

    def nobody():
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)

    env = dict(os.environ, DORVANE_TRACKER='ebpf')
    proc = subprocess.run([capped, '/bin/grep', '^Cap[PE]', '/proc/self/status'], env=env,
                          stdout=subprocess.PIPE, cwd=folder, preexec_fn=nobody,
                          timeout=60 * SCALE)
    text = proc.stdout.decode(errors='replace')
    check(proc.returncode == 0 and 'CapPrm:\t0000000000000000' in text and
          'CapEff:\t0000000000000000' in text, 'the root program has no capabilities', text)
    proc = subprocess.run([capped, setuid, '-u'], env=env, stdout=subprocess.PIPE, cwd=folder,
                          preexec_fn=nobody, timeout=60 * SCALE)
    text = proc.stdout.decode(errors='replace')
    check(proc.returncode == 0 and '\n0\n' in text, 'a set-user-ID program keeps its privilege',
          text)
    shutil.rmtree(folder, ignore_errors=True)


def bpf_ids(pid):
    """The ids of the eBPF programs and maps that a process holds descriptors of."""
    ids = set()
    for fd in os.listdir('/proc/%d/fdinfo' % pid):
        try:
            with open('/proc/%d/fdinfo/%s' % (pid, fd)) as f:
                for line in f:
                    name, _, value = line.partition(':')
                    if name in ('prog_id', 'map_id'):
                        ids.add((name[:-3], int(value)))
        except OSError:
            pass
    return ids


def test_kernel(cfg):
    """What the eBPF tracker leaves in the kernel: nothing once it is killed; and what it
    loses when its ring overflows: nothing either."""
    bpftool = shutil.which('bpftool') or '/usr/sbin/bpftool'
    marker = os.path.join(cfg['work'], 'kernel-marker')
    # Killed before it let the root run, too: the root goes on, not stopped forever.
    for kill_at in (b'dorvane.exe: CreateProcess() made pid', b'\tnew process'):
        if os.path.exists(marker):
            os.remove(marker)
        proc = subprocess.Popen([cfg['dorvane']] + fx(cfg, 'late', str(int(300 * SCALE)),
                                                      marker),
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                cwd=cfg['work'])
        for line in proc.stdout:
            if line.startswith(kill_at):
                break
        ids = bpf_ids(proc.pid)
        proc.kill()
        proc.wait(timeout=30 * SCALE)
        check(poll(lambda: os.path.exists(marker), 10), 'killed at %r: the root went on' % kill_at)
    proc = subprocess.Popen([cfg['dorvane']] + fx(cfg, 'late', str(int(500 * SCALE)), marker),
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, cwd=cfg['work'])
    proc.stdout.readline()
    ids = bpf_ids(proc.pid)
    check(any(kind == 'prog' for kind, _ in ids), 'dorvane holds programs')
    proc.kill()
    proc.wait(timeout=30 * SCALE)

    def gone():
        return all(subprocess.run([bpftool, kind, 'show', 'id', str(n)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode != 0 for kind, n in ids)
    check(os.path.exists(bpftool) and poll(gone, 5), 'nothing stays loaded: %r' % sorted(ids))
    # A one-page ring and a reader that stalls: the burst overflows the ring, and every
    # process is still reported once new and once ended, with its code.
    proc = subprocess.Popen([cfg['tinyring']] + lfx(cfg, 'spawn', '300', '3'),
                            stdout=subprocess.PIPE, cwd=cfg['work'])
    fcntl.fcntl(proc.stdout.fileno(), 1031, 4096)  # F_SETPIPE_SZ: dorvane blocks at once
    time.sleep(1.5 * SCALE)
    r = Run(proc.stdout.read(), proc.wait(timeout=60 * SCALE))
    expect_tree(r, 301, 0, 'ring overflow')
    check(r.codes() == [('exit', 0)] + [('exit', 3)] * 300, 'ring overflow: codes', r.text)
    check(sum(1 for i in r.images.values() if i == cfg['linuxfixture']) == 301,
          'ring overflow: images', r.text)


def test_negative(cfg):
    # The same check as the trees group, on a build that does not follow children: it must
    # find fault, or the tree tests prove nothing.
    r = dorvane(cfg, fx(cfg, 'tree', '2', '2', '6'), exe=cfg['nofollow'])
    faults = tree_faults(r, 7, 6)
    check(faults, 'the tree check fails when descendants are not followed', r.text)
    print('negative control, faults found as expected: %s' % '; '.join(faults))


def main():
    parser = argparse.ArgumentParser()
    for option in ('--dorvane', '--fixture', '--linuxfixture', '--work'):
        parser.add_argument(option, required=True)
    for option in ('--nofollow', '--tinyring', '--leakfixture'):
        parser.add_argument(option)
    parser.add_argument('groups', nargs='+')
    opts = parser.parse_args()
    cfg = {k: os.path.abspath(v) if v else v for k, v in vars(opts).items() if k != 'groups'}
    os.makedirs(cfg['work'], exist_ok=True)
    skip_unless_tracker_starts(cfg['dorvane'])
    for group in opts.groups:
        started = time.time()
        before = len(failures)
        globals()['test_' + group](cfg)
        print('%s %s (%.1f s)' % (group, 'ok' if len(failures) == before else 'FAILED',
                                   time.time() - started))
    for failure in failures:
        print('FAIL:', failure)
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
