#!/bin/sh
# Makes the private Wine prefix that one test run shares: a new prefix takes seconds to
# create, too long to pay per test.
set -e
rm -rf "$1"
WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i
WINEPREFIX="$1" wineserver -w
