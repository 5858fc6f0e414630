#!/usr/bin/env bash
# The array benchmark in one command: builds the core's own loop, installs
# the package from this tree and the peers (bench/arrays/requirements.txt),
# and writes bench/arrays/results.md.  A benchmark, not a test: CI never runs it.
set -euo pipefail
cd "$(dirname "$0")/../.."
PYTHON=${PYTHON:-python3}
mkdir -p build
# The core library as the extension builds it (its flags, every ISA of the
# vector kernels), for the core's own loop.
cmake -S . -B build/bench-core -DGREEKMILL_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-core -j2 --target greekmill_core >/dev/null
g++ -O2 -std=c++23 -ffp-contract=off -fno-fast-math -Icore bench/arrays/core_loop.cpp \
  build/bench-core/libgreekmill_core.a -o build/core_loop
if [ "${GREEKMILL_BENCH_SKIP_INSTALL:-0}" != 1 ]; then
  "$PYTHON" -m pip install -q .
fi
"$PYTHON" -m pip install -q -r bench/arrays/requirements.txt
"$PYTHON" bench/arrays/per_option.py --core-loop build/core_loop --rounds "${ROUNDS:-7}" \
  --out bench/arrays/results.md
