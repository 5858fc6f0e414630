#!/usr/bin/env bash
# Installs what the tests need on a fresh Debian machine, then runs every
# test: the C++ tests of the pricing core (CTest), the Python tests of the
# extension module and the package (pytest) on python3, and
# (scripts/test_pythons.sh) the same wheel on the other CPython versions it
# serves, with their results compared bit for bit.  Fails when any of them
# runs no test.
#
# The Python tests run in a virtual environment made anew here from nothing
# but the wheel and its declared `test` extra (no system site-packages), so
# a test that imports an undeclared module fails here as it would for a
# user; the system Python is never installed into (it may be externally
# managed).  The environment is build/venv-X.Y, which scripts/sanitize.sh
# reuses.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/venv.sh
source scripts/venv.sh

if [ ! -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends libgtest-dev cmake g++ make >/dev/null
fi

reference=${PYTHON:-python3}
version=$("$reference" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=build/venv-$version
fresh_venv "$reference" "$venv"
python=$venv/bin/python

# One abi3 wheel, built once and given its manylinux tag by auditwheel (from
# the test extra): every interpreter below tests this very file.
rm -rf build/wheel
"$python" -m pip wheel -q --no-deps -w build/wheel/built .
built=$(ls build/wheel/built/greekmill-*.whl)
"$python" -m pip install -q "$built[test]"
PATH="$(realpath "$venv/bin"):$PATH" "$python" -m auditwheel repair -w build/wheel "$built"
wheel=$(ls build/wheel/greekmill-*manylinux*.whl)
"$python" -m pip install -q --force-reinstall --no-deps "$wheel"

cmake -S . -B build/core-tests -DGREEKMILL_BUILD_MODULE=OFF -DGREEKMILL_BUILD_TESTS=ON >/dev/null
cmake --build build/core-tests -j 2
ctest --test-dir build/core-tests --output-on-failure --no-tests=error

# pytest exits 5 when it collects nothing, which fails this script.
"$python" -m pytest -q tests

bash scripts/test_pythons.sh "$wheel" "$python"
