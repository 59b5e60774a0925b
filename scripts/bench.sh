#!/bin/sh
# Builds the optimised native dorvane (preset release) and runs the benchmarks; arguments
# go to bench/run.py (--pairs N, --only NAME..., --windows).
set -e
cd "$(dirname "$0")/.."
. scripts/deps.sh
exec python3 bench/run.py "$@"
