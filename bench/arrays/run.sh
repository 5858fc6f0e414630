#!/usr/bin/env bash
# The array benchmark in one command: builds the core's own loop, installs
# the package from this tree and the peers (bench/arrays/requirements.txt),
# and writes bench/arrays/results.md.  A benchmark, not a test: CI never runs it.
set -euo pipefail
cd "$(dirname "$0")/../.."
PYTHON=${PYTHON:-python3}
mkdir -p build
g++ -O2 -std=c++23 -ffp-contract=off -fno-fast-math -Icore bench/arrays/core_loop.cpp \
  core/black_scholes.cpp -o build/core_loop
if [ "${GREEKMILL_BENCH_SKIP_INSTALL:-0}" != 1 ]; then
  "$PYTHON" -m pip install -q .
fi
"$PYTHON" -m pip install -q -r bench/arrays/requirements.txt
"$PYTHON" bench/arrays/per_option.py --core-loop build/core_loop --rounds "${ROUNDS:-7}" \
  --out bench/arrays/results.md
