#!/usr/bin/env bash
# Accuracy and speed of the spectral American engine beside QuantLib's QD-FP
# engine, in one run: builds the core and the C++ drivers, writes the cases
# and reference values, checks bounds and monotonicity at the edges of the
# domain (--edges), times QuantLib on the same cases, sweeps the engine's
# settings (docs/american_frontier.png), and times the package per tier at
# AVX2 and AVX-512, on one and two threads (the package must be installed in
# the given python).
#   bench/american/run.sh [python]   (python: an interpreter with QuantLib,
#                                     pip install -r bench/requirements.txt)
set -euo pipefail
cd "$(dirname "$0")/../.."
python=${1:-python3}
build=build/american-bench
cmake -S . -B "$build" -DGREEKMILL_BUILD_MODULE=OFF >/dev/null
cmake --build "$build" -j 2 --target greekmill_core >/dev/null
g++ -std=c++23 -O2 -ffp-contract=off -fno-fast-math -Icore -Itests/core \
  bench/american/american_accuracy.cpp "$build/libgreekmill_core.a" -lpthread \
  -o "$build/american_accuracy"
"$build/american_accuracy" "$build/american_cases.csv"
echo
"$build/american_accuracy" --edges | tee "$build/edges.md"
echo
"$python" bench/american/quantlib_compare.py "$build/american_cases.csv" | tee "$build/quantlib.md"
echo
"$build/american_accuracy" --frontier > "$build/frontier.csv"
"$python" docs/plot_american_frontier.py "$build/frontier.csv" "$build/quantlib.md"
echo
"$python" bench/american/widths_threads.py
