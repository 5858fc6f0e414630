#!/usr/bin/env bash
# Installs what the tests need on a fresh Debian machine, then runs every
# test: the C++ tests of the pricing core (CTest) and the Python tests of the
# extension module (pytest).  Fails when either runs no test.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends libgtest-dev cmake g++ make >/dev/null
fi

python3 -m pip install -q ".[test]"

cmake -S . -B build/core-tests -DGREEKMILL_BUILD_MODULE=OFF -DGREEKMILL_BUILD_TESTS=ON >/dev/null
cmake --build build/core-tests -j 2
ctest --test-dir build/core-tests --output-on-failure --no-tests=error

# pytest exits 5 when it collects nothing, which fails this script.
python3 -m pytest -q tests
