"""How dorvane starts its program and lets it go: the arguments and the signal state the
program gets, launch failures and their codes, bytes that are not UTF-8 in arguments and
names, dorvane killed or stopped at its start, a reader of its output that goes away or
does not read for a while, and dorvane killed."""
import ctypes
import fcntl
import os
import random
import shutil
import signal
import subprocess
import time

from common import dorvane, expect_tree, fresh, fx, lfx, state
import harness
from harness import SCALE, Report, check, poll
from trackers import bpf_ids, lost

PR_SET_CHILD_SUBREAPER = 36


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
             (script, 0x2), (plain + '/below', 0x3)]
    for program, code in cases:
        r = dorvane(cfg, [program, 'x'])
        check(r.lines == ['dorvane.exe: CreateProcess() failed errno 0x%x' % code,
                          'dorvane.exe: Exiting with exit code 0x%x' % code] and
              r.status == code, '%s: error 0x%x' % (program, code), r.text)
    # A file in no executable format is run by /bin/sh, as execvp (and so env) runs it: a
    # script without #!, named with a slash or found on PATH, and a file of garbage.
    bare = os.path.join(work, 'bare')
    with open(bare, 'w') as f:
        f.write('echo "$0 $1" >"$1"; exit 6\n')
    os.chmod(bare, 0o755)
    out = fresh(os.path.join(work, 'bare.out'))
    for program, env in ((bare, None), ('bare', dict(os.environ, PATH=work))):
        r = dorvane(cfg, [program, out], env=env)
        expect_tree(r, 1, 6, 'a script without #!: %s' % program)
        check(os.path.exists(out) and open(out).read() == bare + ' ' + out + '\n',
              'the shell runs the script: %s' % program)
    alone = subprocess.run(['env', garbage], stderr=subprocess.DEVNULL).returncode
    expect_tree(dorvane(cfg, [garbage]), 1, alone, 'garbage, run by the shell as env does')
    # With the line of the failure, its reason in Linux's terms on standard error.
    proc = subprocess.run([cfg['dorvane'], 'no-such-program'], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, cwd=work, timeout=30 * SCALE)
    check(proc.stderr == b'dorvane: execve: No such file or directory: it is not found in '
          b'the directories of PATH\n', 'the reason of a launch failure', proc.stderr.decode())
    # dorvane inside dorvane under ptrace: the inner one cannot trace what the outer one does.
    if os.environ.get('DORVANE_TRACKER') == 'ptrace':
        inner = [os.path.join(work, 'inner.' + name) for name in ('out', 'err')]
        dorvane(cfg, ['sh', '-c', '"$0" "$1" exit 0 >"$2" 2>"$3"', cfg['dorvane'],
                      cfg['fixture']] + inner)
        with open(inner[0]) as lines, open(inner[1]) as reason:
            check(lines.read().split('\n')[0] == 'dorvane.exe: CreateProcess() failed errno 0x5'
                  and reason.read() == 'dorvane: ptrace: Operation not permitted: dorvane is '
                  'itself traced, or ptrace is restricted\n', 'the inner dorvane\'s reason')
    # A program found on PATH, after a directory where it is not executable.
    bindir = os.path.join(work, 'bin')
    os.makedirs(bindir, exist_ok=True)
    shutil.copy2(plain, os.path.join(bindir, 'fixture'))
    env = dict(os.environ, PATH=bindir + ':' + os.path.dirname(cfg['fixture']))
    proc = subprocess.run([cfg['dorvane'], 'fixture', 'exit', '3'], env=env, cwd=work,
                          stdout=subprocess.PIPE, timeout=30 * SCALE)
    check(proc.returncode == 3, 'PATH search passes a file it cannot run',
          proc.stdout.decode(errors='replace'))


def test_argv(cfg):
    """The program gets dorvane's arguments as they were given, as env, nice or timeout pass
    theirs on: a shell's script whole, empty ones, blanks and quotes inside one; and a
    program whose path holds a blank starts."""
    expect_tree(dorvane(cfg, ['sh', '-c', 'test -n step1 && exit 3']), 1, 3, 'sh -c script')
    r = dorvane(cfg, ['test', '-n', ''])
    check(r.status == 1, 'test -n with an empty argument fails', r.text)
    out = fresh(os.path.join(cfg['work'], 'argv.txt'))
    given = ['', 'a b', ' lead', 'tab\there', '"q"', 'back\\slash\\', 'CFLAGS=-O2 -Wall', '']
    r = dorvane(cfg, fx(cfg, 'args', out, *given))
    with open(out) as f:
        got = f.read().split('\n')
    check(got == ['arg=' + a for a in ['args', out] + given] + [''], 'argv: %r' % got, r.text)
    folder = os.path.join(cfg['work'], 'with blank')
    os.makedirs(folder, exist_ok=True)
    shutil.copy2(cfg['fixture'], os.path.join(folder, 'fixture'))
    r = dorvane(cfg, [os.path.join(folder, 'fixture'), 'exit', '4'])
    expect_tree(r, 1, 4, 'a program whose path holds a blank')


def test_inherit(cfg):
    """The program starts with the signal state dorvane was given, as it does without
    dorvane, which changes its own: what is ignored (SIGPIPE as Python leaves it, SIGHUP as
    nohup does), what is blocked, no handler and no parent-death signal."""
    out = os.path.join(cfg['work'], 'sigstate')

    def given():
        for sig in (signal.SIGHUP, signal.SIGUSR2, signal.SIGRTMIN + 2):
            signal.signal(sig, signal.SIG_IGN)
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1, signal.SIGRTMAX})

    for restore in (False, True):
        states = []
        for under in ([], [cfg['dorvane']]):
            subprocess.run(under + lfx(cfg, 'sigstate', fresh(out)), preexec_fn=given,
                           restore_signals=restore, stdout=subprocess.DEVNULL,
                           cwd=cfg['work'], timeout=30 * SCALE)
            with open(out) as f:
                states.append(f.read())
        ignored = int(states[0].split('SigIgn:')[1].split()[0], 16)
        want = [signal.SIGHUP, signal.SIGUSR2, signal.SIGRTMIN + 2]
        want += [] if restore else [signal.SIGPIPE]
        check(all(ignored >> (sig - 1) & 1 for sig in want) and 'PdeathSig:\t0' in states[0],
              'without dorvane: %r' % states[0])
        check(states[1] == states[0], 'under dorvane (restore_signals=%s):\n%swithout:\n%s'
              % (restore, states[1], states[0]))


def children(pid):
    try:
        with open('/proc/%d/task/%d/children' % (pid, pid)) as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def descendants(pid):
    return [d for c in children(pid) for d in [c] + descendants(c)]


def orphans():
    """What is left of dorvane's runs: the processes that came to us, their subreaper, when
    dorvane died. Reaps those that have ended; the others, with their state and the eBPF
    objects they hold."""
    try:
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass
    except ChildProcessError:
        pass
    return [(pid, state(pid), sorted(bpf_ids(pid))) for pid in children(os.getpid())]


def test_start(cfg):
    """dorvane killed at its start, whatever the moment: the program either never starts or
    goes on; nothing stays stopped or waiting, and nothing keeps dorvane's eBPF programs or
    maps loaded. Held by strace right after the root's fork, at the first sight of the fork
    and at moments through the start-up; the root found at the end of a long PATH, which
    lengthens the moment between its fork and its exec. Then the group stopped at the first
    sight of the fork (Ctrl-Z) and continued (fg): the run goes on to its end."""
    bindir = os.path.join(cfg['work'], 'startbin')
    os.makedirs(bindir, exist_ok=True)
    if not os.path.exists(os.path.join(bindir, 'startfixture')):
        shutil.copy2(cfg['linuxfixture'], os.path.join(bindir, 'startfixture'))
    env = dict(os.environ, PATH=':'.join(['/none/%d' % i for i in range(3000)] + [bindir]))
    strace = shutil.which('strace')
    held = [strace, '-o', '/dev/null', '-e', 'trace=clone',
            '-e', 'inject=clone:delay_exit=%d:when=1' % int(1e6 * SCALE)] if strace else []
    ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1)
    failed = len(harness.failures)
    for i in range(91):
        if len(harness.failures) > failed + 2:
            break  # enough to show what fails, without waiting out every run
        prefix, stop = (held, False) if i == 0 else ([], i > 60)
        proc = subprocess.Popen(prefix + [cfg['dorvane'], 'startfixture', 'exit', '7'],
                                env=env, cwd=cfg['work'], process_group=0,
                                stdout=subprocess.PIPE if stop else subprocess.DEVNULL)
        if 30 < i <= 60:
            time.sleep(random.uniform(0, 0.2))
        else:  # the fork is looked for without a pause: the whole run may take 30 ms
            deadline = time.monotonic() + 10 * SCALE
            while (len(descendants(proc.pid)) <= bool(prefix) and proc.poll() is None and
                   time.monotonic() < deadline):
                pass
            time.sleep(random.choice([0, 0.0005, 0.002]) if i else 0.1 * SCALE)
        try:
            if stop:
                os.killpg(proc.pid, signal.SIGTSTP)
                poll(lambda: state(proc.pid) in ('T', ''), 2)
                os.killpg(proc.pid, signal.SIGCONT)
            else:  # dorvane alone, not strace
                os.kill((descendants(proc.pid) if prefix else [proc.pid])[0], signal.SIGKILL)
        except (ProcessLookupError, IndexError):
            pass  # the run was over already
        if not stop:
            proc.wait(timeout=30 * SCALE)
            left = poll(lambda: not orphans(), 5) or orphans()
            if not check(left is True, 'killed at start (run %d): left %r' % (i, left)):
                for pid, _, _ in left:
                    os.kill(pid, signal.SIGKILL)
            continue
        try:
            r = Report(proc.communicate(timeout=10 * SCALE)[0], proc.returncode)
            expect_tree(r, 1, 7, 'stopped and continued at start (run %d)' % i)
        except subprocess.TimeoutExpired:
            check(False, 'stopped at start (run %d): dorvane waits; %r' % (i, orphans()))
            os.killpg(proc.pid, signal.SIGKILL)
    ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 0)


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
    # A name that would break its line and forge others reads back whole from its one line,
    # also where lines are split by Unicode's rules (at U+2028 and U+0085 too).
    folder = os.path.join(cfg['work'].encode(), b'forge\n\tnew process pid 1\t"q\\\x01\x7f\xff'
                          b'\xe2\x80\xa8\tnew process pid 2\xc2\x85')
    os.makedirs(folder, exist_ok=True)
    exe = os.path.join(folder, b'fixture')
    shutil.copy2(cfg['fixture'].encode(), exe)
    r = dorvane(cfg, [exe, 'exit', '2'])
    expect_tree(r, 1, 2, 'forging name')
    files = [decode_name(l[6:-1]) for l in r.lines if l.startswith('file "') and l[-1] == '"']
    check(os.path.realpath(exe) in files and r.text.splitlines() == r.lines,
          'forging name decodes from its one line', r.text)


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


def test_stdout(cfg):
    # The root's lines are written out before it runs: its own output on the same pipe comes
    # after them.
    early = 0
    for _ in range(20):
        r = dorvane(cfg, ['sh', '-c', 'echo OUT'])
        early += 'OUT' not in r.lines or r.lines.index('OUT') < r.procs[0].at
    check(early == 0, 'the root wrote before its lines in %d runs of 20' % early)
    # The reader goes away after the first line: dorvane still waits for the whole tree.
    marker = fresh(os.path.join(cfg['work'], 'stdout-marker'))
    proc = subprocess.Popen([cfg['dorvane']] + fx(cfg, 'orphan', str(int(500 * SCALE)),
                                                  marker, '4'),
                            stdout=subprocess.PIPE, cwd=cfg['work'])
    first = proc.stdout.readline()
    proc.stdout.close()
    status = proc.wait(timeout=30 * SCALE)
    check(first.startswith(b'dorvane.exe: CreateProcess() made pid'), 'first line')
    check(status == 4, 'exit code 4 with stdout closed, got %d' % status)
    check(os.path.exists(marker), 'waited for the orphan with stdout closed')


def test_unread(cfg):
    """Output that nobody reads for a while holds up neither the programs (each traced one
    waits for dorvane at its every event) nor the reading of the events (a one-page ring
    overflows within a tenth of a second of not being read): the lines wait in dorvane, and
    come out whole once read."""
    n = 60
    marker = fresh(os.path.join(cfg['work'], 'unread-marker'))
    script = os.path.join(cfg['work'], 'unread.sh')
    with open(script, 'w') as f:
        f.write("'%s' spawn %d 3 50 && : > '%s'\n" % (cfg['linuxfixture'], n, marker))
    proc = subprocess.Popen([cfg['tinyring'], '/bin/sh', script], stdout=subprocess.PIPE,
                            cwd=cfg['work'])
    fcntl.fcntl(proc.stdout.fileno(), 1031, 4096)  # F_SETPIPE_SZ: full after a few lines
    check(poll(lambda: os.path.exists(marker), 20), 'the programs were held up by output '
          'that was not read')
    if os.environ.get('DORVANE_TRACKER') == 'ebpf':
        counted = lost(proc.pid, shutil.which('bpftool') or '/usr/sbin/bpftool')
        check(counted == 0, 'events lost while the output was not read: %r' % counted)
    r = Report(proc.communicate(timeout=60 * SCALE)[0], proc.returncode)
    expect_tree(r, n + 2, 0, 'output not read for a while')
    check(r.codes() == [('exit', 0)] * 2 + [('exit', 3)] * n, 'codes', r.text)


def test_detach(cfg):
    # dorvane killed: its programs are let go, not killed, and run to their end.
    marker = fresh(os.path.join(cfg['work'], 'detach-marker'))
    proc = subprocess.Popen([cfg['dorvane']] + fx(cfg, 'late', str(int(400 * SCALE)), marker),
                            stdout=subprocess.PIPE, cwd=cfg['work'])
    for line in proc.stdout:
        if line.startswith(b'\tnew process'):
            break
    proc.kill()
    proc.wait(timeout=30 * SCALE)
    check(poll(lambda: os.path.exists(marker), 10), 'the program outlived dorvane')
