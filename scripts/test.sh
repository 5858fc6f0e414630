#!/usr/bin/env bash
# Installs what the tests need on a fresh Debian machine, then runs every
# test: the C++ tests of the pricing core (CTest), the Python tests of the
# extension module (pytest) on python3, and (scripts/test_pythons.sh) the
# same wheel on the other CPython versions it serves, with their results
# compared bit for bit.  Fails when any of them runs no test.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends libgtest-dev cmake g++ make >/dev/null
fi

# One abi3 wheel, built once: every interpreter below tests this very file.
rm -rf build/wheel
python3 -m pip wheel -q --no-deps -w build/wheel .
wheel=$(ls build/wheel/greekmill-*.whl)
python3 -m pip install -q --force-reinstall --no-deps "$wheel"
python3 -m pip install -q "$wheel[test]"

cmake -S . -B build/core-tests -DGREEKMILL_BUILD_MODULE=OFF -DGREEKMILL_BUILD_TESTS=ON >/dev/null
cmake --build build/core-tests -j 2
ctest --test-dir build/core-tests --output-on-failure --no-tests=error

# pytest exits 5 when it collects nothing, which fails this script.
python3 -m pytest -q tests

bash scripts/test_pythons.sh "$wheel" python3
