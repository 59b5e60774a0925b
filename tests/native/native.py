#!/usr/bin/env python3
"""Native scenarios of dorvane on Linux, the groups of checks of the modules beside this
driver: trees (trees, kinds, images, negative), signals (signals, groupsignals, interrupts,
pidone, terminal, jobcontrol, stopped), launch (argv, inherit, launch, start, bytes, stdout,
unread, detach), oracle and trackers (sched, transparent, kernel, choice, capinstall), and the
run's record (json, overflow, trace, summary, output, options).

usage: native.py --dorvane PATH --fixture PATH --linuxfixture PATH --work DIR
                 [--nofollow PATH] [--tinyring PATH] [--leakfixture PATH] GROUP...
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True  # no build output in the source tree
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
import launch  # noqa: E402
import oracle  # noqa: E402
import record  # noqa: E402
import signals  # noqa: E402
import trackers  # noqa: E402
import trees  # noqa: E402


def start():
    parser = argparse.ArgumentParser()
    for option in ('--dorvane', '--fixture', '--linuxfixture', '--work'):
        parser.add_argument(option, required=True)
    for option in ('--nofollow', '--tinyring', '--leakfixture'):
        parser.add_argument(option)
    parser.add_argument('groups', nargs='+')
    opts = parser.parse_args()
    cfg = {k: os.path.abspath(v) if v else v for k, v in vars(opts).items() if k != 'groups'}
    os.makedirs(cfg['work'], exist_ok=True)
    harness.skip_unless_tracker_starts(cfg['dorvane'])
    tests = {}
    for module in (trees, signals, launch, oracle, trackers, record):
        tests.update(harness.groups(vars(module)))
    harness.main(tests, opts.groups, cfg)


if __name__ == '__main__':
    start()
