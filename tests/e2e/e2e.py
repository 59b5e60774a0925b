#!/usr/bin/env python3
"""End-to-end tests of the built dorvane: run it on fixture programs and check its lines
and exit code. The same cases run against dorvane.exe under Wine and against the native
Linux build; what differs between the two is kept in TARGETS and nowhere else.

usage: e2e.py --target windows|linux --dorvane PATH --fixture PATH --work DIR GROUP...
"""
import argparse
import json
import os
import re
import shutil
import sys

sys.dont_write_bytecode = True  # no build output in the source tree
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import SCALE, check, groups, main, skip_unless_tracker_starts  # noqa: E402
from harness import run as supervise  # noqa: E402

# Where the targets differ. Under Wine 8.0 a child's image name cannot be read when it
# joins (error 6) and a crash is posted as a normal exit, so those are left to the unit
# tests there; Wine also shows a program only the low 8 bits of an exit code.
TARGETS = {
    'windows': {
        'child_image': False,
        'crash_code': 0xC0000005,
        'crash_wording': ('exit', 'crash'),
        'big_code': 0xC0000005,
        'status': lambda code: code & 0xFF,
        'raw_commandline': True,
        'args_as_given': False,
        'exit3': (['cmd', '/c', 'exit', '3'], 'cmd /c exit 3 '),
    },
    'linux': {
        'child_image': True,
        'crash_code': 0x8B,  # 128 + SIGSEGV
        'crash_wording': ('crash',),
        'big_code': 0xFF,  # a Linux exit status has 8 bits
        'status': lambda code: code & 0xFF,
        'raw_commandline': False,
        'args_as_given': True,
        'exit3': (['sh', '-c', 'exit 3'], ['sh', '-c', 'exit 3']),
    },
}


def native_path(cfg, path):
    if cfg['name'] == 'windows':
        return 'Z:' + os.path.abspath(path).replace('/', '\\')
    return os.path.abspath(path)


def run(cfg, args, timeout=60):
    command = ([cfg['runner']] if cfg['runner'] else []) + [cfg['dorvane']] + args
    r = supervise(command, timeout, cwd=cfg['work'])
    check(r.utf8 and r.newline, 'output in UTF-8, ending in a newline', r.text)
    return r


def fixture(cfg, *args):
    return [native_path(cfg, cfg['fixture'])] + list(args)


def expect_single_root(cfg, r, code):
    """A root without children: its lines, in order, and dorvane's exit code."""
    pid = r.pids('new')[0] if r.pids('new') else None
    check(r.lines[0] == 'dorvane.exe: CreateProcess() made pid = %s' % pid, 'made pid line', r.text)
    check(re.match(r'file ".*fixture[^"]*"$', r.lines[1]) is not None, 'root image line', r.text)
    want = ['\tnew process pid %d' % pid, '\texit process pid %d ecode 0x%x' % (pid, code),
            'root process exited with exit code 0x%x' % code,
            'dorvane.exe: Exiting with exit code 0x%x' % code]
    check(r.lines[2:] == want, 'root lines for code 0x%x' % code, r.text)
    check(r.status == cfg['status'](code), 'exit status for 0x%x' % code, r.text)


def test_usage(cfg):
    r = run(cfg, [])
    check(r.lines == ['dorvane.exe SOME_PROGRAM_TO_RUN.exe [ARGUMENTS_FOR_PROGRAM] [...]'],
          'usage line alone', r.text)
    check(r.status == 87, 'usage exit code 87', r.text)


def test_exitcodes(cfg):
    for code in (0, 3, cfg['big_code']):
        expect_single_root(cfg, run(cfg, fixture(cfg, 'exit', '0x%x' % code)), code)


def test_notfound(cfg):
    r = run(cfg, ['no-such-program-here.exe', 'x'])
    check(r.lines == ['dorvane.exe: CreateProcess() failed errno 0x2',
                      'dorvane.exe: Exiting with exit code 0x2'], 'not-found lines', r.text)
    check(r.status == 2, 'not-found exit code', r.text)


def test_orphan(cfg):
    marker = os.path.join(cfg['work'], 'late-marker')
    if os.path.exists(marker):
        os.remove(marker)
    r = run(cfg, fixture(cfg, 'orphan', str(int(1500 * SCALE)), native_path(cfg, marker), '4'))
    check(os.path.exists(marker), 'dorvane waited for the child that outlived the root', r.text)
    new, ended = r.pids('new'), r.pids('exit')
    check(len(new) == 2 and ended == new, 'root ends first, then its child', r.text)
    if len(new) == 2:
        check('\texit process pid %d ecode 0x4' % new[0] in r.lines, 'root ecode', r.text)
        check('\texit process pid %d ecode 0x5' % new[1] in r.lines, 'child ecode', r.text)
    check(r.lines[-2:] == ['root process exited with exit code 0x4',
                           'dorvane.exe: Exiting with exit code 0x4'], 'final lines', r.text)
    check(r.status == 4, 'exit status is the root\'s', r.text)


def test_tree(cfg):
    # depth 2, fan-out 4: 1 + 4 + 16 = 21 processes, each waiting for its children.
    r = run(cfg, fixture(cfg, 'tree', '2', '4', '6'), timeout=120)
    new, ended = r.pids('new'), r.pids('exit')
    check(len(new) == 21 and len(set(new)) == 21, '21 processes, each new once', r.text)
    check(sorted(ended) == sorted(new), 'each process ended once', r.text)
    for pid in new:
        check(r.lines.index('\tnew process pid %d' % pid) <
              r.lines.index('\texit process pid %d ecode 0x6' % pid)
              if '\texit process pid %d ecode 0x6' % pid in r.lines else False,
              'pid %d: new before exit, ecode 0x6' % pid, r.text)
    images = [l for l in r.lines if l.startswith('file "')]
    failed = [l for l in r.lines if l.startswith('GetProcessImageFileName() failed')]
    if cfg['child_image']:
        check(len(images) == 21, 'every image name read', r.text)
    else:
        check(len(images) + len(failed) == 21, 'an image line for each process', r.text)
    check(r.lines[-1] == 'dorvane.exe: Exiting with exit code 0x6', 'exit line', r.text)


def test_args(cfg):
    out = os.path.join(cfg['work'], 'args-out.txt')
    given = ['args', native_path(cfg, out), '', 'a b', 'c']
    r = run(cfg, fixture(cfg, *given))
    check(r.status == 0, 'args run ends with 0', r.text)
    with open(out, encoding='utf-8') as f:
        got = f.read().splitlines()
    # On Windows the arguments are joined without quotes: the empty one leaves a second
    # space and vanishes when the child splits the line; the one with a blank becomes two.
    # On Linux the program gets them as they were given.
    if cfg['args_as_given']:
        want_args = given
    else:
        want_args = ['args', native_path(cfg, out), 'a', 'b', 'c']
    check([l for l in got if l.startswith('arg=')] == ['arg=' + a for a in want_args],
          'child argv: %r' % got)
    if cfg['raw_commandline']:
        line = '%s args %s  a b c ' % (native_path(cfg, cfg['fixture']), native_path(cfg, out))
        check(got and got[0] == 'line=' + line, 'child command line: %r' % got[:1])


def test_unicode(cfg):
    folder = os.path.join(cfg['work'], 'ünï-日本-ø')
    os.makedirs(folder, exist_ok=True)
    exe = os.path.join(folder, 'fïxtüre€' + os.path.splitext(cfg['fixture'])[1])
    shutil.copy2(cfg['fixture'], exe)
    r = run(cfg, [native_path(cfg, exe), 'exit', '9'])
    want = 'ünï-日本-ø' + ('\\' if cfg['name'] == 'windows' else '/') + os.path.basename(exe)
    check(len(r.lines) > 1 and r.lines[1].startswith('file "') and
          r.lines[1].endswith(want + '"'), 'image name in UTF-8', r.text)
    check(r.status == 9, 'exit status 9', r.text)


def test_crash(cfg):
    r = run(cfg, fixture(cfg, 'crash'))
    code = cfg['crash_code']
    pid = r.pids('new')[0] if r.pids('new') else None
    ends = ['\t%s process pid %s ecode 0x%x' % (w, pid, code) for w in cfg['crash_wording']]
    check(any(e in r.lines for e in ends), 'root end line with 0x%x' % code, r.text)
    check(r.lines[-2:] == ['root process exited with exit code 0x%x' % code,
                           'dorvane.exe: Exiting with exit code 0x%x' % code],
          'final lines', r.text)
    check(r.status == cfg['status'](code), 'exit status', r.text)


def test_json(cfg):
    # The record of a run, one object per process and then the run's: the root's line
    # (Windows: its command line as one string; Linux: its arguments) and its exit code.
    out = os.path.join(cfg['work'], 'run.jsonl')
    if os.path.exists(out):
        os.remove(out)
    command, argv = cfg['exit3']
    r = run(cfg, ['--json=' + native_path(cfg, out)] + command)
    check(r.status == 3 and r.lines[-1] == 'dorvane.exe: Exiting with exit code 0x3',
          'the run ends with 3', r.text)
    with open(out, encoding='utf-8') as f:
        lines = [json.loads(line) for line in f.read().splitlines()]
    root = r.pids('new')[0] if r.pids('new') else None
    records = [line for line in lines if line.get('pid') == root]
    check(len(records) == 1 and records[0]['exitcode'] == 3 and not records[0]['crash'] and
          records[0]['argv'] == argv and 0 <= records[0]['start'] <= records[0]['end'],
          'the root\'s record', lines)
    check(lines and lines[-1].get('run', {}).get('exitcode') == 3 and
          lines[-1]['run']['pid'] == root and lines[-1]['run']['processes'] == len(lines) - 1,
          'the run\'s record last', lines)


def start():
    parser = argparse.ArgumentParser()
    parser.add_argument('--target', choices=TARGETS, required=True)
    parser.add_argument('--dorvane', required=True)
    parser.add_argument('--fixture', required=True)
    parser.add_argument('--work', required=True)
    parser.add_argument('groups', nargs='+')
    opts = parser.parse_args()
    cfg = dict(TARGETS[opts.target], name=opts.target, fixture=os.path.abspath(opts.fixture),
               dorvane=os.path.abspath(opts.dorvane), runner=None)
    if opts.target == 'windows':
        cfg['runner'] = 'wine'
        cfg['dorvane'] = native_path(cfg, cfg['dorvane'])
    cfg['work'] = os.path.abspath(opts.work)
    os.makedirs(cfg['work'], exist_ok=True)
    if opts.target == 'linux':
        skip_unless_tracker_starts(cfg['dorvane'])
    main(groups(globals()), opts.groups, cfg)


if __name__ == '__main__':
    start()
