#!/bin/sh
# Builds every target and runs every test: the unit tests, the end-to-end suite against
# build/linux/dorvane and against dorvane.exe under Wine, the native Linux scenarios and
# the stress runs.
set -e
cd "$(dirname "$0")/.."
. scripts/deps.sh
for preset in linux windows; do
    cmake --preset $preset
    cmake --build --preset $preset
done
status=0
for preset in linux windows; do
    ctest --preset $preset || status=1
done
exit $status
