#!/usr/bin/env bash
# Accuracy and cost of the cash-dividend engine per tier, then its reference
# values and speed beside QuantLib's finite-difference engine, in one run.
#   bench/dividends/run.sh [python [SPACE,TIME,LEVELS ...]]
#     python: an interpreter with QuantLib (pip install -r bench/requirements.txt);
#     SPACE,TIME,LEVELS: further American resolutions to measure (e.g. 256,256,3)
set -euo pipefail
cd "$(dirname "$0")/../.."
python=${1:-python3}
build=build/dividends-bench
cmake -S . -B "$build" -DGREEKMILL_BUILD_MODULE=OFF >/dev/null
cmake --build "$build" -j 2 --target greekmill_core >/dev/null
g++ -std=c++23 -O2 -ffp-contract=off -fno-fast-math -Icore \
  bench/dividends/accuracy.cpp "$build/libgreekmill_core.a" -lpthread \
  -o "$build/dividends_accuracy"
"$build/dividends_accuracy" "$build/dividend_cases.csv" "${@:2}"
echo
"$python" bench/dividends/quantlib_compare.py "$build/dividend_cases.csv"
