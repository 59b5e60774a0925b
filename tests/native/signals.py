"""Signals as the programs meet them under dorvane: deaths by signal, SIGPIPE, real-time
signals, signals to the whole process group, a second Ctrl-C, job control at a terminal, a
program stopped and continued from outside, and dorvane as a container's pid 1."""
import os
import pty
import select
import shutil
import signal
import subprocess
import time

from common import (Heartbeat, dorvane, expect_tree, fresh, group_members, lfx, readint,
                    state)
from harness import SCALE, Report, check, poll, skip


def test_signals(cfg):
    f = cfg['linuxfixture']
    script = '%s signal 11; %s signal 6; %s signal 15; %s signal 9; exit 0' % (f, f, f, f)
    r = dorvane(cfg, ['sh', '-c', script])
    expect_tree(r, 5, 0, 'children dying of signals')
    check(r.codes() == [('crash', 0x86), ('crash', 0x8b), ('exit', 0), ('exit', 0x89),
                        ('exit', 0x8f)], 'crash lines for SEGV and ABRT, exit for TERM, KILL',
          r.text)
    r = dorvane(cfg, lfx(cfg, 'signal', '6'))
    check(r.codes() == [('crash', 0x86)] and r.status == 0x86, 'root aborts', r.text)
    # dorvane ignores SIGPIPE for itself; a writer to a closed pipe below it still dies of it.
    r = dorvane(cfg, ['sh', '-c', 'yes | head -c 1 >/dev/null'])
    check(('exit', 0x8d) in r.codes(), 'SIGPIPE reaches the programs', r.text)
    # Real-time signals queue: every one sent reaches the program.
    out = fresh(os.path.join(cfg['work'], 'rtcount'))
    fresh(out + '.pid')
    proc = subprocess.Popen([cfg['dorvane']] + lfx(cfg, 'rtcount', '50', out,
                                                   str(int(10000 * SCALE))),
                            stdout=subprocess.DEVNULL, cwd=cfg['work'])
    pid = poll(lambda: readint(out + '.pid'), 10)
    if check(pid, 'rtcount started'):
        for _ in range(50):
            os.kill(pid, signal.SIGRTMIN)
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
            check(poll(lambda: len(group_members(proc.pid)) == 8, 10),
                  'dorvane, the root and its six children run')
            os.killpg(proc.pid, sig)
            statuses.add(proc.wait(timeout=30 * SCALE))
            if not poll(lambda: not group_members(proc.pid), 3):
                survived += 1
                os.killpg(proc.pid, signal.SIGKILL)
        check(survived == 0, '%s: programs survived in %d runs of 20' % (sig.name, survived))
        check(statuses == {status}, '%s: dorvane ends with %r' % (sig.name, statuses))


def test_interrupts(cfg):
    """A second SIGINT or SIGQUIT to the process group ends dorvane by that signal, the first
    alone does not; a program that ignores them (a shell's background job) goes on."""
    for sig in (signal.SIGINT, signal.SIGQUIT):
        beat = Heartbeat(cfg['work'], 'interrupt-' + sig.name)
        script = '%s &' % ' '.join(beat.alone(cfg))
        proc = subprocess.Popen([cfg['dorvane'], 'sh', '-c', script], stdout=subprocess.DEVNULL,
                                cwd=cfg['work'], start_new_session=True)
        with beat:
            if check(poll(lambda: beat.counts()[0] >= 1, 10), 'the program beats'):
                os.killpg(proc.pid, sig)
                time.sleep(0.2 * SCALE)  # a window in which dorvane must not end
                check(proc.poll() is None, '%s: the first one ends dorvane' % sig.name)
                os.killpg(proc.pid, sig)
                check(poll(proc.poll, 2) == -sig, '%s: dorvane ends with %r' %
                      (sig.name, proc.poll()))
                count = beat.counts()[0]
                check(poll(lambda: beat.counts()[0] >= count + 3, 10),
                      '%s: the program goes on' % sig.name)
        if proc.poll() is None:
            proc.kill()
        proc.wait()


def children(pid):
    with open('/proc/%d/task/%d/children' % (pid, pid)) as f:
        return [int(c) for c in f.read().split()]


def comm(pid):
    try:
        with open('/proc/%d/comm' % pid) as f:
            return f.read().strip()
    except OSError:
        return ''


def test_pidone(cfg):
    """As pid 1 of a pid namespace (a container's entrypoint), which SIGTERM from outside
    does not end by default, dorvane passes a first SIGTERM on to every process of the tree,
    reports their ends and exits with the root's code: an entrypoint's TERM trap runs. A
    second one ends dorvane at once, with 128+15, and the kernel ends the rest."""
    if os.getuid() != 0 or not shutil.which('unshare'):
        skip('a pid namespace needs root and unshare')
    ready, trapped = (os.path.join(cfg['work'], name) for name in ('ready', 'trapped'))
    trap = 'trap "echo trap >%s; exit 7" TERM; sleep 600 & : >%s; wait' % (trapped, ready)
    for case, code in (('dies', 128 + signal.SIGTERM), ('traps', 7), ('ignores', None)):
        beat = Heartbeat(cfg['work'], 'pidone-beat')
        ignores = 'trap "" TERM; : >%s; exec %s' % (ready, ' '.join(beat.alone(cfg)))
        root = {'dies': beat.alone(cfg), 'traps': ['sh', '-c', trap],
                'ignores': ['sh', '-c', ignores]}[case]
        fresh(ready)
        fresh(trapped)
        proc = subprocess.Popen(['unshare', '--fork', '--pid', '--mount-proc', cfg['dorvane']] +
                                root, stdout=subprocess.DEVNULL, cwd=cfg['work'])
        with beat:
            if check(poll(lambda: beat.counts()[0] >= 1 or os.path.exists(ready), 10),
                     '%s: the program runs' % case):
                pidone = children(proc.pid)[0]
                program = children(pidone)[0]
                # Its child has exec'd: a shell's child has its traps until then.
                check(case != 'traps' or poll(lambda: [c for c in children(program)
                                                        if comm(c) == 'sleep'], 10), 'sleeps')
                with open('/proc/%d/status' % pidone) as f:
                    nspid = f.read().split('NSpid:')[1].split('\n')[0].split()
                check(nspid[-1] == '1', 'dorvane is pid 1 of its namespace: %s' % nspid)
                os.kill(pidone, signal.SIGTERM)
                if not code:  # the program goes on: a second one ends dorvane
                    time.sleep(0.2 * SCALE)  # a window in which dorvane must not end
                    if check(proc.poll() is None, 'a first SIGTERM ends dorvane'):
                        os.kill(pidone, signal.SIGTERM)
                    code = 128 + signal.SIGTERM
                # unshare ends with its child's exit code.
                check(poll(proc.poll, 2) == code, '%s: dorvane ends within 2 s with %d: %r' %
                      (case, code, proc.poll()))
                check(poll(lambda: state(program) in ('', 'Z'), 10), 'the program ends')
        if case == 'traps':
            check(os.path.exists(trapped), 'the root\'s TERM trap ran')
        if proc.poll() is None:
            for pid in children(proc.pid):
                os.kill(pid, signal.SIGKILL)
        proc.wait()


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


def drain(master):
    """Reads what the terminal shows, so that nothing blocks on it."""
    try:
        while select.select([master], [], [], 0)[0]:
            if not os.read(master, 4096):
                return
    except OSError:
        return


def finish(pid, master, report, out):
    """The job's end at the terminal: dorvane's report, with the status it ended with."""
    ended = readreport(report, 30)
    drain(master)
    if ended.startswith('ended'):
        os.waitpid(pid, 0)
    os.close(master)
    with open(out, 'rb') as f:
        return Report(f.read(), int(ended.split()[1]) if ended.startswith('ended') else None)


def test_terminal(cfg):
    """At a terminal, Ctrl-Z stops dorvane and its whole tree and fg lets them all go on;
    Ctrl-C and Ctrl-\\ end the programs as usual, and dorvane reports their ends and exits
    with the root's code."""
    out = os.path.join(cfg['work'], 'terminal-out.txt')
    beat = Heartbeat(cfg['work'], 'beat')
    argv = [cfg['dorvane']] + beat.tree(cfg)
    pid, master, report, go = underterminal(cfg, argv, out)
    with beat:
        check(poll(lambda: min(beat.counts()) >= 2, 10), 'the tree beats')
        os.write(master, b'\x1a')  # Ctrl-Z
        check(readreport(report, 10) == 'stopped\n', 'Ctrl-Z stops dorvane')
        tree = beat.pids()
        check(poll(lambda: all(state(p) in ('T', 't') for p in tree), 10),
              'Ctrl-Z stops the tree')
        before = beat.counts()
        time.sleep(0.1 * SCALE)  # a window in which no beat may come
        check(beat.counts() == before, 'the whole tree stays stopped')
        os.write(go, b'g')
        check(poll(lambda: all(n > b for n, b in zip(beat.counts(), before)), 10),
              'fg: the tree goes on')
    r = finish(pid, master, report, out)
    expect_tree(r, 2, 0, 'after Ctrl-Z and fg')
    for key, code, wording in ((b'\x03', 0x82, 'exit'), (b'\x1c', 0x83, 'crash')):
        beat = Heartbeat(cfg['work'], 'beat')
        pid, master, report, go = underterminal(cfg, argv, out)
        with beat:
            check(poll(lambda: min(beat.counts()) >= 1, 10), 'the tree beats')
            os.write(master, key)
            r = finish(pid, master, report, out)
        expect_tree(r, 2, code, 'after %r' % key)
        check(r.codes() == [(wording, code)] * 2, '%r: both end by the signal' % key, r.text)


def test_stopped(cfg):
    """A program stopped by SIGSTOP from outside stays stopped while the rest of the tree
    and dorvane go on, until SIGCONT: as it would without dorvane."""
    beat = Heartbeat(cfg['work'], 'stop-beat')
    proc = subprocess.Popen([cfg['dorvane']] + beat.tree(cfg), stdout=subprocess.PIPE,
                            cwd=cfg['work'])
    with beat:
        if check(poll(lambda: min(beat.counts()) >= 1, 10), 'the tree beats'):
            child = beat.pids()[1]
            os.kill(child, signal.SIGSTOP)
            check(poll(lambda: state(child) in ('T', 't'), 10), 'the child stops')
            root, stopped = beat.counts()
            check(poll(lambda: beat.counts()[0] >= root + 5, 10), 'the root goes on meanwhile')
            check(beat.counts()[1] == stopped, 'the stopped child stays stopped')
            os.kill(child, signal.SIGCONT)
            check(poll(lambda: beat.counts()[1] > stopped, 10), 'SIGCONT: the child goes on')
    out = proc.communicate(timeout=30 * SCALE)[0]
    expect_tree(Report(out, proc.returncode), 2, 0, 'a child stopped and continued')


def test_jobcontrol(cfg):
    """At a terminal that tmux drives, with bash's job control: a program that tidies up on
    Ctrl-Z and then stops itself has finished tidying when the shell says Stopped, and fg
    takes it on to its end, with its code. One that tidies up for longer than dorvane waits
    for it, and so stops itself only after the fg, is continued all the same."""
    tmux = shutil.which('tmux')
    if not tmux:
        skip('tmux is not installed')
    sock = os.path.join(cfg['work'], 'tmux.sock')
    out = os.path.join(cfg['work'], 'jobcontrol.txt')

    def tm(*args):
        return subprocess.run([tmux, '-S', sock] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL).stdout.decode(errors='replace')

    for ms in (300 * SCALE, 1500 * SCALE):
        fresh(sock)
        fresh(out)
        tm('new-session', '-d', '-x', '150', '-y', '40', 'HISTFILE=/dev/null bash --norc -i')
        try:
            tm('send-keys', 'DORVANE_TRACKER=%s %s %s tidy %d 5 >%s' % (
                os.environ['DORVANE_TRACKER'], cfg['dorvane'], cfg['linuxfixture'], ms, out),
               'Enter')
            check(poll(lambda: 'ready' in tm('capture-pane', '-p'), 10), 'the program runs',
                  tm('capture-pane', '-p'))
            tm('send-keys', 'C-z')
            screen = poll(lambda: 'Stopped' in tm('capture-pane', '-p') and
                          tm('capture-pane', '-p'), 10) or tm('capture-pane', '-p')
            tm('send-keys', 'fg; echo status=$?', 'Enter')
            check(ms > 1000 or 0 <= screen.find('tidied') < screen.find('Stopped'),
                  'the program has tidied up when the shell says Stopped', screen)
            check(poll(lambda: 'status=5' in tm('capture-pane', '-p'), 10),
                  'fg: the program goes on to its end', tm('capture-pane', '-p'))
            with open(out, 'rb') as f:
                expect_tree(Report(f.read(), 5), 1, 5, 'Ctrl-Z and fg, %d ms to tidy up' % ms)
        finally:
            tm('kill-server')
