#!/usr/bin/env bash
# The benchmark suite in one command: installs what it needs on a fresh
# Debian machine (libbenchmark-dev, cmake, g++, valgrind; the module from this
# tree; the peers of bench/requirements.txt), builds the core benchmark and the
# floor extension (GREEKMILL_BUILD_BENCHMARKS=ON, never installed), runs
#   1. core_benchmark      Google Benchmark of the pricing core,
#   2. core_instructions   under callgrind: instructions per call of the core,
#   3. bench/per_call.py   per-call times against the floor and the peers,
# and writes the table to bench/results.md.  Benchmarks, not tests: nothing
# here is run by scripts/test.sh or CI.
#
# Environment: PYTHON (default python3), ROUNDS (default 21),
# GREEKMILL_BENCH_SKIP_INSTALL=1 to benchmark the module already installed.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
ROUNDS=${ROUNDS:-21}
BUILD=build/bench

missing=()
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++ make)
command -v valgrind >/dev/null || missing+=(valgrind)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "${GREEKMILL_BENCH_SKIP_INSTALL:-0}" != 1 ]; then
  "$PYTHON" -m pip install -q .
fi
"$PYTHON" -m pip install -q -r bench/requirements.txt

# The interpreter itself, not a wrapper script (pyenv shims are shell
# scripts), so that CMake builds the floor for it.
INTERPRETER=$("$PYTHON" -c 'import sys; print(sys.executable)')
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DGREEKMILL_BUILD_MODULE=OFF \
  -DGREEKMILL_BUILD_BENCHMARKS=ON -DPython_EXECUTABLE="$INTERPRETER" >/dev/null
cmake --build "$BUILD" -j 2 >/dev/null

echo "== core_benchmark" >&2
# Repetitions in random interleaved order, like the rounds of per_call.py.
"$BUILD/bench/core_benchmark" --benchmark_repetitions=15 --benchmark_min_time=0.1 \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_out="$BUILD/core.json" --benchmark_out_format=json >&2

echo "== core_instructions under callgrind" >&2
: >"$BUILD/instructions.txt"
count() {  # instructions of `core_instructions CASE N`
  local out="$BUILD/callgrind.out"
  valgrind --tool=callgrind --callgrind-out-file="$out" \
    "$BUILD/bench/core_instructions" "$1" "$2" >/dev/null 2>&1
  awk '/^(summary|totals):/ { print $2; exit }' "$out"
  rm -f "$out"
}
for name in bs_delta bs_greeks am_price_european am_price_twelve am_price_immediate \
            am_delta am_greeks am_singles; do
  # The difference of 2000 and 1000 calls: start-up cancels out.
  once=$(count "$name" 1000)
  twice=$(count "$name" 2000)
  echo "$name $(((twice - once) / 1000))" >>"$BUILD/instructions.txt"
done

echo "== per_call.py ($ROUNDS rounds)" >&2
"$INTERPRETER" bench/per_call.py --floor-dir "$BUILD/bench" --rounds "$ROUNDS" \
  --core-json "$BUILD/core.json" --instructions "$BUILD/instructions.txt" \
  --out bench/results.md
