"""Trees the kernel makes hard to follow (a daemon, a fork-only child, an untraced orphan,
CLONE_PARENT, two runs at once, a pid namespace), the kinds of process creation, the
programs each process is named by, and the negative control of the tree check."""
import os
import shutil
import subprocess
import sys

from common import dorvane, dorvane_usage, expect_tree, fresh, fx, lfx, readint
from harness import SCALE, Report, check


def test_trees(cfg):
    # 1 + 3 + 9 + 27 processes, each waiting for its children.
    r = dorvane(cfg, fx(cfg, 'tree', '3', '3', '6'))
    expect_tree(r, 40, 6, 'tree of 40')
    check(all(p.code == 6 for p in r.procs), 'every code 0x6', r.text)
    check(all(p.image == cfg['fixture'] for p in r.procs), 'images', r.text)
    # A daemon: double fork and setsid, the grandchild outlives both others.
    marker = fresh(os.path.join(cfg['work'], 'daemon-marker'))
    r = dorvane(cfg, lfx(cfg, 'daemon', str(int(300 * SCALE)), marker))
    if expect_tree(r, 3, 0, 'daemon'):
        check(r.procs[0].endat < r.procs[2].endat, 'root ends first', r.text)
    check(os.path.exists(marker), 'dorvane waited for the daemon', r.text)
    # A child that only forks, and sleeps, is announced as it starts, not when it first
    # does something: within 0.1 s, before its parent's end; dorvane sleeps while nothing is
    # due.
    r, usage = dorvane_usage(cfg, lfx(cfg, 'forkonly', str(int(2000 * SCALE)),
                                      str(int(100 * SCALE))))
    if expect_tree(r, 2, 0, 'fork-only child'):
        check(r.procs[1].at < r.procs[0].endat,
              'fork-only child announced before its parent ends', r.text)
    check(usage.ru_nvcsw < 40, 'dorvane sleeps while idle (%d wake-ups)' % usage.ru_nvcsw)
    # A child no tracer is told of, outliving its creator: waited for and reported.
    marker = fresh(os.path.join(cfg['work'], 'untraced-marker'))
    out = os.path.join(cfg['work'], 'untraced-out')
    with open(out, 'wb') as sink:  # not a pipe, which the child would hold open
        status = subprocess.run([cfg['dorvane']] + lfx(cfg, 'untraced', str(int(500 * SCALE)),
                                                       marker), stdout=sink, cwd=cfg['work'],
                                timeout=60 * SCALE).returncode
    with open(out, 'rb') as f:
        r = Report(f.read(), status)
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
        r = Report(proc.communicate(timeout=60 * SCALE)[0], proc.returncode)
        expect_tree(r, 13, code, 'concurrent run %d' % code)
    # In a pid namespace of its own, dorvane reports the pids that namespace shows, and
    # names each process by its program, also where /proc is still the outer namespace's.
    unshare = shutil.which('unshare')
    if os.getuid() == 0 and unshare:
        pidfile = os.path.join(cfg['work'], 'nspid')
        script = os.path.join(cfg['work'], 'nspid.sh')
        with open(script, 'w') as f:
            f.write('echo $$ > %s; %s exit 0\n' % (pidfile, cfg['fixture']))
        for mountproc in (['--mount-proc'], []):
            proc = subprocess.run([unshare, '-p', '-f'] + mountproc +
                                  [cfg['dorvane'], '/bin/sh', script], stdout=subprocess.PIPE,
                                  cwd=cfg['work'], timeout=60 * SCALE)
            r = Report(proc.stdout, proc.returncode)
            what = 'pid namespace %s' % mountproc
            expect_tree(r, 2, 0, what)
            check(r.pids()[:1] == [readint(pidfile)] and r.pids()[0] < 10,
                  '%s: the root\'s pid as its namespace shows it (%d)' % (what, readint(pidfile)),
                  r.text)
            check([p.image for p in r.procs] == [os.path.realpath('/bin/sh'), cfg['fixture']],
                  '%s: names' % what, r.text)


def test_kinds(cfg):
    r = dorvane(cfg, lfx(cfg, 'threads', '200', '3'))
    expect_tree(r, 1, 3, '200 threads are no processes')
    # The leader is gone after an exec from another thread; the process goes on as the
    # program that thread execs.
    r = dorvane(cfg, lfx(cfg, 'threadexec', '/bin/sh', '-c', 'exit 6'))
    expect_tree(r, 1, 6, 'exec from a thread')
    r = dorvane(cfg, lfx(cfg, 'leaderless', '8'))
    expect_tree(r, 2, 9, 'a fork from a thread after its leader left')
    check(sorted(r.codes()) == [('exit', 8), ('exit', 9)], 'leaderless codes', r.text)
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
    r = dorvane(cfg, ['sh', '-c', '(exit 3); %s exit 4; exit 5' % cfg['fixture']])
    expect_tree(r, 3, 5, 'shell with a subshell and a program')
    shell = os.path.realpath(shutil.which('sh'))
    check(sorted(str(p.image) for p in r.procs) == sorted([shell, shell, cfg['fixture']]),
          'images', r.text)
    # An image name longer than the core's 260 characters: error 0x7a, still reported.
    deep = os.path.join(cfg['work'], 'd' * 200, 'e' * 100)
    os.makedirs(deep, exist_ok=True)
    exe = os.path.join(deep, 'fixture')
    shutil.copy2(cfg['fixture'], exe)
    r = dorvane(cfg, [exe, 'exit', '2'])
    check('GetProcessImageFileName() failed errno 0x7a' in r.lines, 'long name: 0x7a', r.text)
    expect_tree(r, 1, 2, 'long name')
    # Deeper than 64 directories (as deep as the name allows), and short enough to name:
    # named whole.
    exe = os.path.join(cfg['work'], *['a'] * max(65, (250 - len(cfg['work'])) // 2) +
                       ['fixture'])
    os.makedirs(os.path.dirname(exe), exist_ok=True)
    shutil.copy2(cfg['fixture'], exe)
    r = dorvane(cfg, [exe, 'exit', '2'])
    expect_tree(r, 1, 2, 'deep name')
    check([p.image for p in r.procs] == [exe], 'deep name', r.text)
    # Names as /proc/PID/exe shows them to dorvane: a program in a chroot (of a user
    # namespace's own) from dorvane's root; one from a memfd, or from a deleted file, marked
    # deleted. Each forks a child that runs it on and names it, whenever it is announced.
    jail, gone = os.path.join(cfg['work'], 'jail'), os.path.join(cfg['work'], 'gone')
    program = cfg['linuxfixture']
    os.makedirs(jail, exist_ok=True)
    shutil.copy2(program, gone)
    fdexec = os.path.join(cfg['work'], 'fdexec.py')
    with open(fdexec, 'w') as f:
        f.write(FDEXEC)
    cases = [(['unshare', '-r', '-m', 'sh', '-c', 'mount --rbind / %s && exec chroot %s sh -c '
               '\'%s forkonly 0 0\'' % (jail, jail, program)], jail + program),
             ([sys.executable, fdexec, 'memfd', program], '/memfd:dorvane (deleted)'),
             ([sys.executable, fdexec, 'deleted', gone], gone + ' (deleted)')]
    for args, name in cases:
        r = dorvane(cfg, args)
        check(name in [p.image for p in r.procs], name, r.text)


# Runs a child from a file descriptor: a memfd holding the program, or the program's file
# once it has been deleted.
FDEXEC = """import os, sys
kind, program = sys.argv[1:]
with open(program, 'rb') as f:
    if kind == 'memfd':
        fd = os.memfd_create('dorvane', 0)
        os.write(fd, f.read())
    else:
        fd = os.dup(f.fileno())
        os.unlink(program)
if os.fork() == 0:
    os.execve(fd, [program, 'forkonly', '0', '0'], os.environ)
os.wait()
"""


def test_negative(cfg):
    # The same check as the trees group, on a build that does not follow children: it must
    # find fault, or the tree tests prove nothing.
    r = dorvane(cfg, fx(cfg, 'tree', '2', '2', '6'), exe=cfg['nofollow'])
    faults = r.tree_faults(7, 6)
    check(faults, 'the tree check fails when descendants are not followed', r.text)
    print('negative control, faults found as expected: %s' % '; '.join(faults))
