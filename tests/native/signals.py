"""Signals as the programs meet them under dorvane: deaths by signal, SIGPIPE, real-time
signals, signals to the whole process group, job control at a terminal, and a program
stopped and continued from outside."""
import os
import pty
import re
import select
import signal
import subprocess
import time

from common import dorvane, expect_tree, group_members, lfx, readint
from harness import SCALE, Report, check, poll


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
    if check(poll(lambda: readint(out + '.pid'), 10), 'rtcount started'):
        for _ in range(50):
            os.kill(readint(out + '.pid'), signal.SIGRTMIN)
    proc.wait(timeout=30 * SCALE)
    check(readint(out) == 50, 'all 50 real-time signals delivered, got %d' % readint(out))


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
    check(poll(lambda: all(readint(f) >= 2 for f in files), 10), 'the tree beats')
    os.write(master, b'\x1a')  # Ctrl-Z
    check(readreport(report, 10) == 'stopped\n', 'Ctrl-Z stops dorvane')
    time.sleep(0.1 * SCALE)  # beats in flight land
    before = [readint(f) for f in files]
    time.sleep(5 * ms / 1000 * SCALE)
    check([readint(f) for f in files] == before, 'the whole tree is stopped')
    check(before[0] < count and before[1] < count, 'stopped before its end')
    os.write(go, b'g')
    ended = readreport(report, 30)
    drain(master)
    with open(out, encoding='utf-8') as f:
        r = Report(f.read().encode(), 0 if ended == 'ended 0\n' else 1)
    check(ended == 'ended 0\n', 'fg: the run completes with 0 (%r)' % ended, r.text)
    check([readint(f) for f in files] == [count, count], 'the tree ran to its end')
    expect_tree(r, 2, 0, 'after Ctrl-Z and fg')
    os.waitpid(pid, 0)
    os.close(master)
    # Ctrl-C and Ctrl-\ end the programs as usual; dorvane reports them and goes on to
    # exit with the root's code.
    for key, code, wording in ((b'\x03', 0x82, 'exit'), (b'\x1c', 0x83, 'crash')):
        removebeats(files)
        pid, master, report, go = underterminal(cfg, argv, out)
        check(poll(lambda: all(readint(f) >= 1 for f in files), 10), 'the tree beats')
        os.write(master, key)
        ended = readreport(report, 30)
        drain(master)
        with open(out, encoding='utf-8') as f:
            r = Report(f.read().encode(), code)
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
    check(poll(lambda: readint(files[1]) >= 1, 10), 'the child beats')
    os.kill(pids[1], signal.SIGSTOP)
    time.sleep(0.1 * SCALE)
    stopped, root = readint(files[1]), readint(files[0])
    time.sleep(10 * ms / 1000 * SCALE)
    check(readint(files[1]) == stopped, 'the stopped child stays stopped')
    check(readint(files[0]) > root, 'the root goes on meanwhile')
    os.kill(pids[1], signal.SIGCONT)
    rest = proc.stdout.read()
    status = proc.wait(timeout=30 * SCALE)
    check(status == 0 and readint(files[1]) == count, 'SIGCONT: the child runs to its end',
          rest.decode(errors='replace'))
