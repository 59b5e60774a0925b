#!/bin/sh
# Builds dorvane and shows it supervising a tree of 13 processes (a root, 3 children,
# 9 grandchildren), each ending with exit code 7.
set -e
cd "$(dirname "$0")/.."
. scripts/deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
export WINEPREFIX="$PWD/build/windows/wineprefix-example"
[ -d "$WINEPREFIX" ] || { echo "making a Wine prefix..."; wineboot -i >/dev/null 2>&1; }
echo "--- dorvane.exe under Wine:"
status=0
wine build/windows/dorvane.exe build/windows/tests/fixtures/fixture.exe tree 2 3 7 || status=$?
echo "--- exit status $status"
