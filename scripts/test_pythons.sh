#!/usr/bin/env bash
# The one abi3 wheel on every CPython it serves (3.11, 3.12, 3.13), run by
# scripts/test.sh after the full suite on the reference interpreter:
#   1. for each other version: a venv under build/venv-<version>, made anew
#      with the wheel and its test extra and nothing else, and the tests where the interpreter's
#      version matters (binding and conversion, values, the fuzz with fewer
#      examples, life cycle, leaks, threads, PyGreeks);
#   2. scripts/results_grid.py under every interpreter: the outputs, every
#      result's bits over a seeded grid, must be byte-identical.
# Interpreters are pyenv's (the highest patch release of each version) or
# python3.X on PATH; a version found nowhere is skipped with a message.
#
# Usage: scripts/test_pythons.sh WHEEL [REFERENCE_PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."

wheel=$(realpath "$1")
reference=${2:-python3}
grid=build/results-grid
mkdir -p "$grid"

# shellcheck source=scripts/find_python.sh
source scripts/find_python.sh
# shellcheck source=scripts/venv.sh
source scripts/venv.sh

reference_version=$("$reference" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
"$reference" scripts/results_grid.py >"$grid/$reference_version.txt"
compared=("$reference_version")
failed=0
for version in 3.11 3.12 3.13; do
  [ "$version" = "$reference_version" ] && continue
  python=$(find_python "$version")
  if [ -z "$python" ]; then
    echo "== CPython $version: not found (no pyenv interpreter, no python$version on PATH): skipped"
    continue
  fi
  venv=build/venv-$version
  # Made anew with only the wheel and its test extra, like the reference's.
  fresh_venv "$python" "$venv"
  "$venv/bin/python" -m pip install -q "$wheel[test]"
  echo "== CPython $version ($python): focused tests"
  GREEKMILL_FUZZ_EXAMPLES=${GREEKMILL_FUZZ_EXAMPLES_OTHER:-500} "$venv/bin/python" -m pytest -q \
    tests/test_binding.py tests/test_values.py tests/test_fuzz.py tests/test_lifecycle.py \
    tests/test_leaks.py tests/test_threads.py tests/test_pygreeks.py
  "$venv/bin/python" scripts/results_grid.py >"$grid/$version.txt"
  if cmp -s "$grid/$reference_version.txt" "$grid/$version.txt"; then
    compared+=("$version")
  else
    echo "CPython $version gives other results than CPython $reference_version:"
    diff "$grid/$reference_version.txt" "$grid/$version.txt" | head -n 20
    failed=1
  fi
done
lines=$(wc -l <"$grid/$reference_version.txt")
if [ "$failed" = 0 ]; then
  echo "== results bit-identical on CPython ${compared[*]} ($lines calls of the thirteen functions)"
fi
exit "$failed"
