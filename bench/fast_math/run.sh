#!/usr/bin/env bash
# Builds the core (Release) and runs one of the fast-maths drivers:
#   bench/fast_math/run.sh accuracy [points per region]   errors in ulps vs quad precision
#   bench/fast_math/run.sh speed [options] [rounds]        ns per option / per element
#   bench/fast_math/run.sh versus_exact [options per book] European outputs: fast, exact vs quad
# Environment: GREEKMILL_SIMD=sse2|avx2|avx512 forces the width of Auto.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/fast-math-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DGREEKMILL_BUILD_MODULE=OFF \
  -DGREEKMILL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target greekmill_core >/dev/null
what=${1:-speed}
shift || true
case "$what" in
  accuracy | versus_exact) libs=(-lquadmath) ;;
  speed) libs=(-lmvec -lm) ;;
  *) echo "usage: $0 accuracy|speed|versus_exact [args]" >&2; exit 2 ;;
esac
g++ -std=gnu++23 -O2 -ffp-contract=off -Icore "bench/fast_math/$what.cpp" \
  "$build/libgreekmill_core.a" "${libs[@]}" -o "$build/$what"
"$build/$what" "$@"
