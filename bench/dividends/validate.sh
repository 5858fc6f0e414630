#!/usr/bin/env bash
# Every tier of the cash-dividend engine on the whole validation set, per
# family, as a Markdown table (one thread, CPU time per option).
#   bench/dividends/validate.sh [SPACE,TIME,LEVELS ...]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/dividends-bench
data=${GREEKMILL_VALIDATION:-../shared/data/dividends_validation.csv}
cmake -S . -B "$build" -DGREEKMILL_BUILD_MODULE=OFF >/dev/null
cmake --build "$build" -j 2 --target greekmill_core >/dev/null
g++ -std=c++23 -O2 -ffp-contract=off -fno-fast-math -Icore \
  bench/dividends/validation.cpp "$build/libgreekmill_core.a" -lpthread \
  -o "$build/dividends_validation"
"$build/dividends_validation" "$data" "$@"
