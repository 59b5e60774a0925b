"""The run's record, option by option, against ground truth: a tree of processes that each
write down what they were given and did (the fixture's witness), the text report of the
same run, and what the files must hold whatever ends the run."""
import json
import os
import re
import shutil
import signal
import subprocess

from common import dorvane, fresh, fx, lfx
from harness import SCALE, Report, check, letgo, poll, run

def witnessed(folder):
    """What each process of a witness tree wrote of itself, by pid."""
    seen = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name)) as f:
            fields = dict(field.split('=', 1) for field in f.read().split())
        fields['argv'] = [bytes.fromhex(a).decode() for a in fields['argv'].split(',')]
        fields['children'] = [tuple(map(int, c.split(':')))
                              for c in fields['children'].split(';') if c]
        for key in ('pid', 'ppid', 'start', 'end', 'user', 'system', 'maxrss'):
            fields[key] = int(fields[key])
        seen[fields['pid']] = fields
    return seen


def witness_run(cfg, name, options, depth=2, width=4):
    """dorvane with options (FILE standing for files of this run) on a witness tree of
    1 + width + width**2 processes; the report, the witnesses and the files' paths."""
    folder = os.path.join(cfg['work'], name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    files = {kind: os.path.join(cfg['work'], '%s.%s' % (name, kind)) for kind in ('jsonl', 'json')}
    args = [o.replace('JSONL', files['jsonl']).replace('TRACE', files['json']) for o in options]
    r = dorvane(cfg, args + lfx(cfg, 'witness', folder, str(depth), str(width), 'exit:5', '',
                                'a b', 'tab\there'), timeout=120)
    return r, witnessed(folder), files


def jsonlines(path):
    with open(path, encoding='utf-8') as f:
        text = f.read()
    check(text.endswith('\n'), 'the JSON Lines file ends with a whole line', text[-200:])
    return [json.loads(line) for line in text.splitlines()]


def check_process(p, w, record, what):
    """One record against the report's process p and its witness w."""
    fate = w['fate']
    sig = int(fate[7:]) if fate.startswith('signal:') else None
    want = {'pid': p.pid, 'ppid': w['ppid'], 'program': p.image, 'argv': w['argv'],
            'exitcode': p.code, 'crash': p.wording == 'crash', 'signal': sig}
    for field, value in want.items():
        check(record[field] == value,
              '%s pid %d: %s %r, truth %r' % (what, p.pid, field, record[field], value))
    check(p.code == (128 + sig if sig else int(fate[5:])), 'pid %d: report code' % p.pid)
    check(record['start'] <= record['end'], 'pid %d: start <= end' % p.pid)
    # Its own CPU and peak it measured are part of what its parent's wait tells.
    own = (w['user'] + w['system']) / 1e6
    check(record['user'] + record['system'] >= own - 1e-6,
          'pid %d: CPU %.6f + %.6f, its own %.6f' % (p.pid, record['user'], record['system'],
                                                  own))
    check(record['maxrss'] >= w['maxrss'], 'pid %d: maxrss %d, its own %d' % (
        p.pid, record['maxrss'], w['maxrss']))


def check_timing(records, seen, what):
    """Each process's record spans its life, and no more than from just before its creator
    forked it to just after its creator reaped it: one origin, the root's start, puts every
    record between those four moments of the witnesses' own clock, to the microsecond the
    record rounds to. Siblings, run one after another, are in order."""
    low, high = [], []
    for pid, r in records.items():
        low.append(seen[pid]['end'] / 1e9 - r['end'])
        high.append(seen[pid]['start'] / 1e9 - r['start'])
        for child, forked, reaped in seen[pid]['children']:
            low.append(forked / 1e9 - records[child]['start'])
            high.append(reaped / 1e9 - records[child]['end'])
    check(max(low) <= min(high) + 2e-6, '%s: the records span the lives and no more (off by '
          '%.6f s)' % (what, max(low) - min(high)))
    for pid, w in seen.items():
        kids = [child for child, _, _ in w['children']]
        for a, b in zip(kids, kids[1:]):
            check(records[a]['end'] <= records[b]['start'], '%s: pid %d ended before pid %d '
                  'started' % (what, a, b))


def test_json(cfg):
    r, seen, files = witness_run(cfg, 'json', ['--json=JSONL'])
    lines = jsonlines(files['jsonl'])
    records = {line['pid']: line for line in lines[:-1]}
    check(len(r.procs) == 21 and not r.faults, 'the report: 21 processes', r.text)
    check(len(records) == len(lines) - 1 == 21, 'a record per process, each once', lines)
    check(set(records) == {p.pid for p in r.procs} == set(seen), 'the same processes')
    root = r.procs[0].pid
    for p in r.procs:
        if p.pid in records and p.pid in seen:
            check_process(p, seen[p.pid], records[p.pid], "json")
    check_timing(records, seen, 'json')
    failures = sum(1 for p in r.procs if p.code or p.wording == 'crash')
    check(lines[-1] == {'run': {'pid': root, 'exitcode': 5, 'error': None, 'processes': 21,
                                'failures': failures, 'incomplete': 0,
                                'duration': lines[-1]['run']['duration']}}, 'the run line',
          lines[-1])
    check(lines[-1]['run']['duration'] >= max(x['end'] for x in records.values()),
          'the run lasts until its last process ends')
    # Programs run without dorvane's record-keeping as they do with it.
    plain = dorvane(cfg, lfx(cfg, 'exit', '3'))
    recorded = dorvane(cfg, ['--json', fresh(files['jsonl'])] + lfx(cfg, 'exit', '3'))
    check([re.sub(r'\d+', 'N', line) for line in plain.lines] ==
          [re.sub(r'\d+', 'N', line) for line in recorded.lines] and recorded.status == 3,
          'the report is the same with --json', recorded.text)


def test_overflow(cfg):
    """Under eBPF, with the one-page ring and dorvane stopped while the programs run: what the
    ring had no room for is recorded all the same, each process once, and an exec's
    arguments that could not be kept with it are unknown, never another's."""
    if os.environ.get('DORVANE_TRACKER') != 'ebpf' or not cfg.get('tinyring'):
        return
    jsonl, marker = (fresh(os.path.join(cfg['work'], n)) for n in ('overflow.jsonl', 'overflow'))
    script = 'for i in $(seq 300); do %s exit 0 $i; done; exec touch %s' % (cfg['fixture'], marker)
    proc = subprocess.Popen([cfg['tinyring'], '--json', jsonl, 'sh', '-c', script],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, cwd=cfg['work'],
                            bufsize=0)
    letgo(proc)
    proc.send_signal(signal.SIGSTOP)
    ran = poll(lambda: os.path.exists(marker), 60)
    proc.send_signal(signal.SIGCONT)
    proc.communicate(timeout=60 * SCALE)
    check(ran, 'the loop ran while dorvane was stopped')
    records = jsonlines(jsonl)[:-1]
    loop = sorted((r for r in records if r['program'] == cfg['fixture']), key=lambda r: r['start'])
    check(len(records) == 302 and len(set(r['pid'] for r in records)) == 302 and
          len(loop) == 300, 'each process once', len(records))
    told = [r['argv'] for r in loop if r['argv'] is not None]
    check(len(told) < 300, 'the ring overflowed: %d of 300 arguments told' % len(told))
    # The loop's processes ran one after another: their numbers rise with their starts.
    check(all(a[:3] == [cfg['fixture'], 'exit', '0'] and len(a) == 4 for a in told) and
          all(int(a[3]) < int(b[3]) for a, b in zip(told, told[1:])),
          'the arguments told are exact', told)


def test_trace(cfg):
    r, seen, files = witness_run(cfg, 'trace', ['--json=JSONL', '--trace', 'TRACE'])
    records = {line['pid']: line for line in jsonlines(files['jsonl'])[:-1]}
    with open(files['json'], encoding='utf-8') as f:
        events = json.load(f)
    complete = [e for e in events if e['ph'] == 'X']
    check(sorted(e['pid'] for e in complete) == sorted(records) and len(complete) == 21,
          'one complete event per process', [e['pid'] for e in complete])
    flows = {(e['ph'], e['id']): e for e in events if e['ph'] in ('s', 'f')}
    root = r.procs[0].pid
    for e in complete:
        record = records.get(e['pid'], {})
        check(e['name'] == os.path.basename(cfg['linuxfixture']) and e['tid'] == e['pid'],
              'pid %d: named by its program, on its own track' % e['pid'], e)
        check(e['ts'] == round(record['start'] * 1e6) and
              abs(e['ts'] + e['dur'] - round(record['end'] * 1e6)) <= 1,
              'pid %d: the event spans start to end' % e['pid'], (e, record))
        check(all(e['args'][k] == record[k] for k in ('ppid', 'argv', 'exitcode', 'signal')),
              'pid %d: its args' % e['pid'], (e, record))
        if e['pid'] == root:
            continue
        ids = [i for (ph, i), f in flows.items() if ph == 'f' and f['pid'] == e['pid']]
        start = flows.get(('s', ids[0])) if len(ids) == 1 else None
        check(start is not None and start['pid'] == seen[e['pid']]['ppid'] and
              start['ts'] == e['ts'], 'pid %d: a flow from its creator at its start' % e['pid'],
              ids)


def test_summary(cfg):
    # 25 children fail, each given 25 arguments: the first 20 of each, and of them.
    script = 'for i in $(seq 25); do %s exit 1 %s; done; exit 0' % (
        cfg['fixture'], ' '.join('a%d' % i for i in range(25)))
    proc = subprocess.run([cfg['dorvane'], '--summary', 'sh', '-c', script],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cfg['work'],
                          timeout=120 * SCALE)
    r = Report(proc.stdout, proc.returncode)
    err = proc.stderr.decode().splitlines()
    failed = [p for p in r.procs if p.code]
    check(err[:1] == ['dorvane.exe: processes 27, failed 25'] and len(failed) == 25,  # seq too
          'the counts', proc.stderr.decode())
    # argv[0], exit, 1 and a0 to a16 are the first 20 of 28.
    shown = ': %s exit 1 %s (8 more)' % (cfg['fixture'], ' '.join('a%d' % i for i in range(17)))
    want = ['\texit process pid %d ecode 0x1 %s%s' % (p.pid, p.image, shown) for p in failed[:20]]
    check(err[1:] == want + ['\tand 5 more'], 'the first 20 failures', proc.stderr.decode())
    check(r.lines[-1] == 'dorvane.exe: Exiting with exit code 0x0' and not r.faults,
          'the report is whole', r.text)


def test_output(cfg):
    report = os.path.join(cfg['work'], 'report.txt')
    with open(report, 'w') as f:
        f.write('an older, longer report\n' * 10)
    r = dorvane(cfg, ['--output', report, 'sh', '-c', 'echo out; %s exit 3' % cfg['fixture']])
    check(r.lines == ['out'] and r.status == 3, 'standard output is the program\'s', r.text)
    with open(report, 'rb') as f:
        kept = Report(f.read(), 3)
    check(not kept.tree_faults(2, 3), 'the report is in its file, whole', kept.text)
    # A report file that cannot be created: said on standard output, the program not run.
    marker = fresh(os.path.join(cfg['work'], 'output-marker'))
    for path, code in ((os.path.join(cfg['work'], 'no', 'such'), 2), (cfg['work'], 5)):
        r = dorvane(cfg, ['--output=' + path, 'sh', '-c', 'touch ' + marker])
        check(r.lines == ['dorvane.exe: --output: CreateFile("%s") failed errno 0x%x' % (
            path, code), 'dorvane.exe: Exiting with exit code 0x%x' % code] and
              r.status == code, 'an output that cannot be created: 0x%x' % code, r.text)
    check(not os.path.exists(marker), 'the program did not start')


def test_options(cfg):
    usage = 'dorvane.exe SOME_PROGRAM_TO_RUN.exe [ARGUMENTS_FOR_PROGRAM] [...]'
    r = dorvane(cfg, ['--help'])
    check(r.status == 0 and r.lines[0].startswith('dorvane.exe [OPTION]...') and
          all(o in r.text for o in ('--output', '--json', '--trace', '--summary',
                                    'DORVANE_TRACKER')), '--help', r.text)
    r = dorvane(cfg, ['--version'])
    check(r.status == 0 and r.lines == ['dorvane.exe 1.1.0'], '--version', r.text)
    for args, said in ((['--jsn=x', 'true'], "dorvane.exe: unrecognized option '--jsn=x'"),
                       (['--json'], "dorvane.exe: option '--json' requires an argument"),
                       (['--json=x'], None)):
        r = dorvane(cfg, args)
        check(r.status == 87 and r.lines == [said, usage][0 if said else 1:],
              'bad usage %r' % args, r.text)
    # The program's own options are its own; one named with "--" runs after "--".
    r = dorvane(cfg, ['sh', '-c', 'echo "$1"', 'sh', '--json'])
    check(r.status == 0 and '--json' in r.lines, 'the program\'s own option', r.text)
    bindir = os.path.join(cfg['work'], 'dashbin')
    os.makedirs(bindir, exist_ok=True)
    shutil.copy2(cfg['fixture'], os.path.join(bindir, '--prog'))
    r = dorvane(cfg, ['--', '--prog', 'exit', '4'],
                env=dict(os.environ, PATH=bindir + ':' + os.environ['PATH']))
    check(r.status == 4 and not r.tree_faults(1, 4), 'a program named --prog', r.text)
    # A record file that cannot be created fails the start.
    r = dorvane(cfg, ['--trace', os.path.join(cfg['work'], 'no', 'such'), 'true'])
    check(r.status == 2 and r.lines[0].startswith('dorvane.exe: --trace: CreateFile('),
          'a trace that cannot be created', r.text)
    # A signal that ends dorvane leaves whole lines: what ended so far, each a valid record.
    jsonl, trace = (fresh(os.path.join(cfg['work'], 'cut.' + e)) for e in ('jsonl', 'json'))
    proc = subprocess.Popen([cfg['dorvane'], '--json', jsonl, '--trace', trace, 'sh', '-c',
                             '%s exit 1; %s exit 2; exec sleep 60' % (cfg['fixture'],
                                                                       cfg['fixture'])],
                            stdout=subprocess.DEVNULL, cwd=cfg['work'], start_new_session=True)
    try:
        check(poll(lambda: os.path.exists(jsonl) and open(jsonl).read().count('\n') >= 2, 30),
              'two records written')
        proc.send_signal(signal.SIGTERM)
        proc.wait(30 * SCALE)
    finally:
        os.killpg(proc.pid, signal.SIGKILL)
    lines = jsonlines(jsonl)
    check([line['exitcode'] for line in lines] == [1, 2], 'the records so far', lines)
    with open(trace) as f:
        events = json.loads(f.read() + ']')
    check(len([e for e in events if e['ph'] == 'X']) == 2, 'the trace so far loads', events)
