"""The Linux trackers as the test suites see them: one forced by DORVANE_TRACKER that
cannot start on this machine makes a test skip, with the reason, rather than pass."""
import os
import subprocess
import sys

SKIP = 77  # CTest's SKIP_RETURN_CODE for the suites


def skip_unless_tracker_starts(dorvane):
    tracker = os.environ.get('DORVANE_TRACKER')
    if not tracker:
        return
    out = subprocess.run([dorvane, '/bin/true'], stdout=subprocess.PIPE,
                         stdin=subprocess.DEVNULL).stdout.decode(errors='replace')
    if 'CreateJobObject() failed' in out:
        print('SKIPPED: the %s tracker cannot start here (uid %d):\n%s' % (
            tracker, os.getuid(), out))
        sys.exit(SKIP)
