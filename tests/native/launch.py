"""How dorvane starts its program and lets it go: the arguments the program gets, launch
failures and their codes, bytes that are not UTF-8 in arguments and names, a reader of its
output that goes away or does not read for a while, and dorvane killed."""
import fcntl
import os
import shutil
import subprocess

from common import dorvane, expect_tree, fresh, fx
from harness import SCALE, Report, check, poll
from trackers import lost


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
                          'dorvane.exe: Exiting with exit code 0x%x' % code] and
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
