"""The trackers: the ptrace tracker's scheduling; the eBPF tracker leaving the programs alone
and the kernel's resources as it found them, its ring overflowing without loss; which of
the two dorvane takes by itself; and both under the capability install."""
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from common import Heartbeat, dorvane, expect_tree, fresh, fx, lfx, readint, state
from harness import SCALE, Report, check, letgo, poll, skip, zombie


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
    beat = Heartbeat(cfg['work'], 'sched-beat')
    proc = subprocess.Popen(['nice', '-n', '3', cfg['dorvane']] + beat.alone(cfg),
                            stdout=subprocess.DEVNULL, cwd=cfg['work'])
    with beat:
        if check(poll(lambda: beat.counts()[0] >= 1, 10), 'the root runs under dorvane'):
            ours, theirs = schedfields(proc.pid), schedfields(beat.pids()[0])
            plain = schedfields(os.getpid())
            check(ours[0] == theirs[0] and ours[0] != plain[0],
                  'nice kept for dorvane and its root: %r %r' % (ours, theirs))
            if plain[1] is not None:  # kernels that show the slice
                check(theirs[1] == plain[1], 'the root has the default slice: %r' % (theirs,))
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
    r = Report(proc.stdout, proc.returncode)
    report = b'ERROR: LeakSanitizer: detected memory leaks'
    check(report in plain.stderr and plain.returncode != 0, 'the leak report without dorvane')
    check(report in proc.stderr and proc.returncode == plain.returncode,
          'the leak report under dorvane', proc.stderr.decode(errors='replace'))
    expect_tree(r, len(r.procs), plain.returncode, 'leaking program')
    # A debugger runs its program to the end.
    gdb = shutil.which('gdb')
    if check(gdb, 'gdb is installed'):
        args = [gdb, '-batch', '-nx', '-ex', 'run', '--args', cfg['linuxfixture'], 'exit', '3']
        plain = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               cwd=cfg['work'], timeout=60 * SCALE)
        proc = subprocess.run([cfg['dorvane']] + args, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, cwd=cfg['work'], timeout=60 * SCALE)
        done = rb'\[Inferior 1 \(process \d+\) exited with code 03\]'
        # gdb writes a line in pieces, and dorvane's lines share its output: without them,
        # gdb's lines are whole again.
        ours = rb'file "[^"\n]*"\n|\t(new|exit) process pid \d+( ecode 0x[0-9a-f]+)?\n'
        check(re.search(done, plain.stdout) and plain.returncode == 0, 'gdb without dorvane',
              plain.stdout.decode(errors='replace'))
        check(re.search(done, re.sub(ours, b'', proc.stdout)) and proc.returncode == 0,
              'gdb under dorvane',
              proc.stdout.decode(errors='replace'))
    # dorvane inside dorvane: the inner run reports its tree, the outer one everything, the
    # inner one's watch over the start of its root too.
    inner = os.path.join(cfg['work'], 'inner.txt')
    script = os.path.join(cfg['work'], 'nested.sh')
    with open(script, 'w') as f:
        f.write('%s %s tree 1 2 4 > %s\n' % (cfg['dorvane'], cfg['fixture'], inner))
    r = dorvane(cfg, ['/bin/sh', script])
    expect_tree(r, 6, 4, 'the outer run: shell, inner dorvane and its watch, root, 2 children')
    with open(inner, 'rb') as f:
        expect_tree(Report(f.read(), 4), 3, 4, 'the inner run')
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
    # Its line may come before or after dorvane's own, which a thread writes.
    check(proc.returncode == 0 and '0' in text.split('\n'),
          'a set-user-ID program keeps its privilege', text)
    shutil.rmtree(folder, ignore_errors=True)


def bpf_ids(pid):
    """The ids of the eBPF programs and maps that a process holds descriptors of."""
    ids = set()
    try:
        fds = os.listdir('/proc/%d/fdinfo' % pid)
    except OSError:  # gone already, or not ours to read
        return ids
    for fd in fds:
        try:
            with open('/proc/%d/fdinfo/%s' % (pid, fd)) as f:
                for line in f:
                    name, _, value = line.partition(':')
                    if name in ('prog_id', 'map_id'):
                        ids.add((name[:-3], int(value)))
        except OSError:
            pass
    return ids


def lost(pid, bpftool):
    """The events the eBPF tracker of process pid has lost, read from its kernel half's .bss
    map, which bpftool formats by its BTF; None if they cannot be read."""
    for kind, n in sorted(bpf_ids(pid)):
        if kind != 'map':
            continue
        try:
            show = subprocess.run([bpftool, '-j', 'map', 'show', 'id', str(n)],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
            if not json.loads(show)['name'].endswith('.bss'):
                continue
            dump = subprocess.run([bpftool, '-j', 'map', 'dump', 'id', str(n)],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
            for variable in json.loads(dump)[0]['formatted']['value']['.bss']:
                if 'lost' in variable:
                    return variable['lost']
        except (OSError, ValueError, LookupError, TypeError):
            return None
    return None


def heldlast(cfg):
    """The one-page ring overflows while dorvane is stopped, so the changes of the processes
    started after go to the kernel's store instead, which wakes no reader through the ring.
    Yet the end of one comes while another still runs, and dorvane ends soon after the
    last."""
    pids = [os.path.join(cfg['work'], 'heldlast-%s' % name) for name in 'ab']
    script = os.path.join(cfg['work'], 'heldlast.sh')
    with open(script, 'w') as f:
        f.write('i=0; while [ $i -lt 200 ]; do /bin/true; i=$((i+1)); done\n'
                'sleep %s & echo $! >%s; sleep 600 & echo $! >%s\n' % (2 * SCALE, *pids))
    out = os.path.join(cfg['work'], 'heldlast.out')
    with open(out, 'wb') as sink:
        proc = subprocess.Popen([cfg['tinyring'], '/bin/sh', script], stdout=sink,
                                cwd=cfg['work'])

    def lines():
        with open(out, 'rb') as f:
            return f.read()
    root = poll(lambda: re.search(rb'\tnew process pid (\d+)', lines()), 10)
    if not check(root, 'the root was let go', lines().decode(errors='replace')):
        proc.kill()
        return
    proc.send_signal(signal.SIGSTOP)
    check(poll(lambda: zombie(int(root.group(1))), 30), 'the script ran while dorvane was stopped')
    proc.send_signal(signal.SIGCONT)
    short, long = (readint(p) for p in pids)
    check(poll(lambda: b'\texit process pid %d ecode' % short in lines(), 2 * SCALE + 10),
          'the end of a process kept in the store is told while the tree runs', lines().decode())
    os.kill(long, signal.SIGTERM)
    ended = poll(lambda: proc.poll() is not None, 10)
    if not ended:
        proc.kill()
    proc.wait()
    check(ended, 'dorvane still waits after the last process ended')
    if ended:
        r = Report(lines(), proc.returncode)
        expect_tree(r, 203, 0, 'the storm and its sleepers')


def test_kernel(cfg):
    """What the eBPF tracker leaves in the kernel: nothing once it is killed; and what it
    loses when its ring overflows: nothing either."""
    bpftool = shutil.which('bpftool') or '/usr/sbin/bpftool'
    marker = os.path.join(cfg['work'], 'kernel-marker')
    # Killed before it let the root run, too: the root goes on, not stopped forever.
    for kill_at in (b'dorvane.exe: CreateProcess() made pid', b'\tnew process'):
        fresh(marker)
        proc = subprocess.Popen([cfg['dorvane']] + fx(cfg, 'late', str(int(300 * SCALE)),
                                                      marker),
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                cwd=cfg['work'])
        for line in proc.stdout:
            if line.startswith(kill_at):
                break
        proc.kill()
        proc.wait(timeout=30 * SCALE)
        check(poll(lambda: os.path.exists(marker), 10), 'killed at %r: the root went on' % kill_at)
    beat = Heartbeat(cfg['work'], 'kernel-beat')
    proc = subprocess.Popen([cfg['dorvane']] + beat.alone(cfg), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, cwd=cfg['work'])
    with beat:
        proc.stdout.readline()
        ids = bpf_ids(proc.pid)
        check(any(kind == 'prog' for kind, _ in ids), 'dorvane holds programs')
        proc.kill()
        proc.wait(timeout=30 * SCALE)

    def gone():
        return all(subprocess.run([bpftool, kind, 'show', 'id', str(n)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode != 0 for kind, n in ids)
    check(os.path.exists(bpftool) and poll(gone, 5), 'nothing stays loaded: %r' % sorted(ids))
    # Stopped and continued as it loads its programs (the delays place the stop), dorvane
    # still runs on the eBPF tracker: a load that the pending signal cut short is retried.
    for delay in (0.002, 0.005, 0.01, 0.02):
        proc = subprocess.Popen([cfg['dorvane']] + lfx(cfg, 'exit', '7'), stdout=subprocess.PIPE,
                                cwd=cfg['work'])
        time.sleep(delay)
        proc.send_signal(signal.SIGSTOP)
        time.sleep(0.1)
        proc.send_signal(signal.SIGCONT)
        r = Report(proc.communicate(timeout=30 * SCALE)[0], proc.returncode)
        expect_tree(r, 1, 7, 'stopped %.3f s into its start' % delay)
    # A one-page ring and a reader that stalls (dorvane stopped once the root runs): the
    # burst overflows the ring, as the kernel half's count of lost events shows, and every
    # process is still reported once new and once ended, with its code.
    proc = subprocess.Popen([cfg['tinyring']] + lfx(cfg, 'spawn', '300', '3'),
                            stdout=subprocess.PIPE, cwd=cfg['work'], bufsize=0)
    root = int(proc.stdout.readline().split(b'=')[-1])
    check(poll(lambda: state(root) not in ('T', ''), 10), 'the root was let go')
    proc.send_signal(signal.SIGSTOP)
    counted = poll(lambda: lost(proc.pid, bpftool), 10)
    proc.send_signal(signal.SIGCONT)
    check(counted is not None, 'the lost-event counter in the .bss map that dorvane-tinyring '
          'holds cannot be read with %s' % bpftool)
    check(counted != 0, 'the ring did not overflow: no event lost')
    r = Report(proc.communicate(timeout=60 * SCALE)[0], proc.returncode)
    expect_tree(r, 301, 0, 'ring overflow, %s events lost' % counted)
    check(r.codes() == [('exit', 0)] + [('exit', 3)] * 300, 'ring overflow: codes', r.text)
    check(sum(p.image == cfg['linuxfixture'] for p in r.procs) == 301,
          'ring overflow: images', r.text)
    heldlast(cfg)


def tracer(pid):
    with open('/proc/%d/status' % pid) as f:
        return int(re.search(r'^TracerPid:\s*(\d+)', f.read(), re.M).group(1))


def tracked(cfg, env, folder, **options):
    """dorvane on a beating tree, seen while the tree runs: whether dorvane holds eBPF
    programs and which process traces the root; then the tree's pids and the report."""
    beat = Heartbeat(folder, 'choice-beat')
    proc = subprocess.Popen([cfg['dorvane']] + beat.tree(cfg), stdout=subprocess.PIPE,
                            cwd=folder, env=env, **options)
    seen = (None, None)
    with beat:
        if check(poll(lambda: min(beat.counts()) >= 1, 10), 'the tree beats'):
            seen = (any(kind == 'prog' for kind, _ in bpf_ids(proc.pid)),
                    tracer(beat.pids()[0]) == proc.pid)
    r = Report(proc.communicate(timeout=30 * SCALE)[0], proc.returncode)
    return seen, beat.pids(), r


def nobody():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


def test_choice(cfg):
    """Without DORVANE_TRACKER, dorvane takes the eBPF tracker where it loads and falls back
    to the ptrace tracker silently where it does not, as an ordinary user here; a name of no
    tracker is refused with 0x57 before anything runs."""
    env = {k: v for k, v in os.environ.items() if k != 'DORVANE_TRACKER'}

    def starts(tracker, **options):
        out = subprocess.run([cfg['dorvane'], '/bin/true'], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, env=dict(env, DORVANE_TRACKER=tracker),
                             cwd='/', **options)
        return b'CreateJobObject() failed' not in out.stdout

    if starts('ebpf'):
        (programs, traced), _, r = tracked(cfg, env, cfg['work'])
        check(programs and not traced, 'eBPF loads here, so dorvane holds its programs and '
              'does not trace the root (programs %r, traced %r)' % (programs, traced))
        expect_tree(r, 2, 0, 'the default tracker where eBPF loads')
    else:
        print('eBPF cannot load here: the default where it loads is not checked')
    if os.getuid() != 0 or starts('ebpf', preexec_fn=nobody):
        print('no user here for whom eBPF cannot load: the fallback is not checked')
    else:
        folder = os.path.join(cfg['work'], 'nobody')
        os.makedirs(folder, exist_ok=True)
        os.chown(folder, 65534, 65534)
        (programs, traced), (root, child), r = tracked(cfg, env, folder, preexec_fn=nobody)
        check(traced and programs is False, 'as an ordinary user dorvane traces the root and '
              'holds no eBPF program (programs %r, traced %r)' % (programs, traced))
        image = 'file "%s"' % cfg['linuxfixture']
        want = ['dorvane.exe: CreateProcess() made pid = %d' % root,
                image, '\tnew process pid %d' % root, image, '\tnew process pid %d' % child,
                '\texit process pid %d ecode 0x0' % child, '\texit process pid %d ecode 0x0' % root,
                'root process exited with exit code 0x0', 'dorvane.exe: Exiting with exit code 0x0']
        check(r.lines == want and r.status == 0, 'the fallback\'s report is a plain one', r.text)
    # A forced tracker that cannot start, and a name of none: the lines as ever, and the
    # reason in Linux's terms on standard error.
    cases = [('bogus', {}, ['dorvane.exe: DORVANE_TRACKER="bogus" names no tracker: ebpf or '
                            'ptrace'], 0x57, 'DORVANE_TRACKER: Invalid argument: it is to name '
                                               'ebpf or ptrace')]
    if os.getuid() == 0 and not starts('ebpf', preexec_fn=nobody):
        cases.append(('ebpf', {'preexec_fn': nobody}, [], 5, 'bpf (load): Operation not '
                      'permitted: the eBPF tracker needs root, or the binary given '
                      'cap_bpf,cap_perfmon'))
    for tracker, options, lines, code, reason in cases:
        proc = subprocess.run([cfg['dorvane'], '/bin/true'], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=dict(env, DORVANE_TRACKER=tracker),
                              cwd='/', **options)
        r = Report(proc.stdout, proc.returncode)
        check(r.lines == lines + ['dorvane.exe: CreateJobObject() failed',
                                  'dorvane.exe: Exiting with exit code 0x%x' % code] and
              r.status == code and proc.stderr.decode() == 'dorvane: %s\n' % reason,
              '%s: refused' % tracker, r.text + proc.stderr.decode())



def test_capinstall(cfg):
    """Run by an ordinary user from a copy given cap_bpf,cap_perfmon: the root gets the
    environment dorvane was given, byte for byte, what a secure exec scrubs too; the ptrace
    tracker works, forced or as the fallback where eBPF is refused (bpf(), or its map reads
    without privilege, as older kernels refuse them); neither dorvane nor the root holds a
    capability once the tree runs; and a drop that fails is a failed start."""
    if os.getuid() != 0 or not shutil.which('setcap'):
        skip('the capability install needs root and setcap')
    folder = tempfile.mkdtemp(prefix='dorvane-capinstall-')
    os.chmod(folder, 0o755)
    capped, beats = os.path.join(folder, 'dorvane'), os.path.join(folder, 'beats')
    shutil.copy2(cfg['dorvane'], capped)
    subprocess.run(['setcap', 'cap_bpf,cap_perfmon+ep', capped], check=True)
    os.mkdir(beats)
    os.chown(beats, 65534, 65534)
    tracker = os.environ['DORVANE_TRACKER']
    env = {k: v for k, v in os.environb.items() if k != b'DORVANE_TRACKER'}
    env.update({b'LD_LIBRARY_PATH': folder.encode(), b'GLIBC_TUNABLES': b'glibc.malloc.check=0',
                b'TZDIR': folder.encode(), b'DORVANE_BYTES': b'\xff\x01 \xe2\x80\xa8'})
    forced = {**env, b'DORVANE_TRACKER': tracker.encode()}
    # (case, environment, system call refused, the tracker that follows: None, none starts)
    cases = [('forced', forced, '-', tracker), ('capset refused', forced, 'capset', None)]
    if tracker == 'ptrace':
        cases += [('fallback, bpf() refused', env, 'bpf', 'ptrace'),
                  ('fallback, map reads refused', env, 'bpf=1', 'ptrace')]
    else:
        cases += [('map reads refused', forced, 'bpf=1', None)]
    for case, runenv, refused, follows in cases:
        beat = Heartbeat(beats, 'beat')
        proc = subprocess.Popen(lfx(cfg, 'nobody', refused, capped) + beat.tree(cfg),
                                stdout=subprocess.PIPE, cwd=beats, env=runenv)
        with beat:
            if follows and check(poll(lambda: min(beat.counts()) >= 1, 10), case + ': beats'):
                root = beat.pids()[0]
                with open('/proc/%d/environ' % root, 'rb') as f:
                    check(f.read() == b''.join(k + b'=' + v + b'\0' for k, v in runenv.items()),
                          case + ': the root has the environment dorvane was given')
                held = []
                for pid in (proc.pid, root):
                    with open('/proc/%d/status' % pid) as f:
                        held += re.findall(r'^Cap(?:Prm|Eff|Amb):\s*(\w+)', f.read(), re.M)
                check(set(held) == {'0000000000000000'}, case + ': capabilities %r' % held)
                traced, programs = tracer(root) == proc.pid, bool(bpf_ids(proc.pid))
                check((traced, programs) == (follows == 'ptrace', follows == 'ebpf'),
                      case + ': traced %r, eBPF programs %r' % (traced, programs))
                # Holding its programs, dorvane stays non-dumpable: no other process of the
                # user may read its memory (nor take its descriptors).
                peek = subprocess.run(['cat', '/proc/%d/environ' % proc.pid], preexec_fn=nobody,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                check((peek.returncode == 0) == (follows == 'ptrace'), case + ': dumpable')
        r = Report(proc.communicate(timeout=30 * SCALE)[0], proc.returncode)
        if follows:
            expect_tree(r, 2, 0, case)
        else:
            check(r.lines == ['dorvane.exe: CreateJobObject() failed',
                              'dorvane.exe: Exiting with exit code 0x5'] and r.status == 5 and
                  beat.counts() == [0, 0], case + ': a failed start', r.text)
    # A /proc/self/stat that places the environment outside dorvane's memory (one mounted
    # over it here; a user namespace may mount a /proc of its own): a failed start, no crash.
    stat = open('/proc/self/stat').read().split(') ', 1)
    fields = stat[1].split(' ')
    fields[47:49] = ['1', '2']  # fields 50 and 51
    fake = os.path.join(folder, 'stat')
    with open(fake, 'w') as f:
        f.write(stat[0] + ') ' + ' '.join(fields))
    os.chmod(fake, 0o644)
    proc = subprocess.run(['unshare', '--mount', '--propagation', 'private', 'sh', '-c',
                           'mount --bind "$0" /proc/$$/stat && exec "$@"', fake] +
                          lfx(cfg, 'nobody', '-', capped, '/bin/true'), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, cwd=beats, env=forced)
    r = Report(proc.stdout, proc.returncode)
    check(r.lines == ['dorvane.exe: CreateJobObject() failed',
                      'dorvane.exe: Exiting with exit code 0xd'] and r.status == 0xd and
          proc.stderr.startswith(b'dorvane: /proc/self/stat: Bad address: '),
          'a /proc/self/stat that lies', r.text + proc.stderr.decode(errors='replace'))
    # A name of no tracker, to an output that takes nothing for now: dorvane waits for it
    # holding no capability, its writer neither.
    readend, full = os.pipe()
    os.set_blocking(full, False)
    try:
        while os.write(full, b'x' * 4096):
            pass
    except BlockingIOError:
        os.set_blocking(full, True)
    proc = subprocess.Popen(lfx(cfg, 'nobody', '-', capped, '/bin/true'), stdout=full,
                            stderr=subprocess.DEVNULL, env={**forced, b'DORVANE_TRACKER': b'x'})
    os.close(full)
    tasks = '/proc/%d/task' % proc.pid
    if check(poll(lambda: len(os.listdir(tasks)) == 2, 10), 'dorvane waits for its output'):
        held = []
        for task in os.listdir(tasks):
            with open('%s/%s/status' % (tasks, task)) as f:
                held += re.findall(r'^Cap(?:Prm|Eff):\s*(\w+)', f.read(), re.M)
        check(set(held) == {'0000000000000000'}, 'capabilities while it waits: %r' % held)
    while os.read(readend, 65536):
        pass
    os.close(readend)
    check(proc.wait(timeout=30 * SCALE) == 0x57, 'a name of no tracker: 0x57')
    shutil.rmtree(folder, ignore_errors=True)
