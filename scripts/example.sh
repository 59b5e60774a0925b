#!/bin/sh
# Builds dorvane for both targets and shows it supervising a tree of 13 processes (a root,
# 3 children, 9 grandchildren, each ending with exit code 7): dorvane.exe under Wine, then
# the native Linux build.
set -e
cd "$(dirname "$0")/.."
. scripts/deps.sh
for preset in windows linux; do
    cmake --preset $preset >/dev/null
    cmake --build --preset $preset
done
export WINEPREFIX="$PWD/build/windows/wineprefix-example"
[ -d "$WINEPREFIX" ] || { echo "making a Wine prefix..."; wineboot -i >/dev/null 2>&1; }
echo "--- dorvane.exe under Wine:"
status=0
wine build/windows/dorvane.exe build/windows/tests/fixtures/fixture.exe tree 2 3 7 || status=$?
echo "--- exit status $status"
echo "--- dorvane on Linux:"
status=0
build/linux/dorvane build/linux/tests/fixtures/fixture tree 2 3 7 || status=$?
echo "--- exit status $status"
