#!/usr/bin/env bash
# Hardening run, part of CI (.ci/run):
#   1. the C++ core tests built with AddressSanitizer + UndefinedBehaviorSanitizer
#      (LeakSanitizer on), run through CTest;
#   2. the extension built the same way (and a fault-injection build of it),
#      and the whole pytest suite run against it; on the other interpreters
#      the abi3 build serves (3.12, 3.13, in the venvs scripts/test.sh
#      makes), the life-cycle tests and the calls on the caller's own
#      keyword dictionary;
#   3. the C++ core tests, built without sanitizers, under valgrind memcheck.
# Every sanitizer report aborts the process that made it (no recovery), and
# valgrind turns any error or definite/indirect leak into exit code 99, so any
# report fails this script.  Float division by zero is not checked: IEEE
# division by zero is part of the numerics.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v valgrind >/dev/null || missing+=(valgrind)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v make >/dev/null || missing+=(make)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# The virtual environment of scripts/test.sh (the package and its declared
# test extra, nothing else), made here when this script runs alone.  The
# ordinary module stays installed in it: the sanitized one is only ever
# loaded through the path of the pytest process.
# shellcheck source=scripts/venv.sh
source scripts/venv.sh
reference=${PYTHON:-python3}
venv=build/venv-$("$reference" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if [ ! -x "$venv/bin/python" ]; then
  fresh_venv "$reference" "$venv"
  "$venv/bin/python" -m pip install -q ".[test]"
fi
python=$PWD/$venv/bin/python
jobs=2
asan_build=build/hardening-asan
asan_faults=build/hardening-asan-faults
valgrind_build=build/hardening-valgrind

configure() {  # directory, extra cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
}

echo "== building with AddressSanitizer + UndefinedBehaviorSanitizer"
configure "$asan_build" -DGREEKMILL_SANITIZE=ON -DGREEKMILL_BUILD_TESTS=ON \
  -DGREEKMILL_BUILD_MODULE=ON -DPython_EXECUTABLE="$python"
configure "$asan_faults" -DGREEKMILL_SANITIZE=ON -DGREEKMILL_FAULT_INJECTION=ON \
  -DGREEKMILL_BUILD_MODULE=ON -DPython_EXECUTABLE="$python"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1

# The greekmill package with the sanitized array engine: its Python files and
# the engine built above, importable from one directory.
asan_package="$asan_build/package"
rm -rf "$asan_package"
mkdir -p "$asan_package"
cp -r src/greekmill "$asan_package/"
cp "$asan_build"/_native*.so "$asan_package/greekmill/"

echo "== C++ core tests under ASan + UBSan"
ctest --test-dir "$asan_build" --output-on-failure --no-tests=error -j "$jobs" >/dev/null

echo "== pytest under ASan + UBSan"
# The interpreter is not instrumented, so the ASan runtime is preloaded;
# PYTHONMALLOC=malloc sends every Python object (PyGreeks instances
# included) through ASan's allocator.  Leak detection stays off here: the
# interpreter leaves memory allocated at exit by design; the leak tests
# check reference counts and memory instead.  The sanitized module is put
# on the path of the pytest process only (not PYTHONPATH), so tests that
# install a wheel or run tools in child processes see what they expect; the
# fault-injection tests load the sanitized fault build in their children.
# libstdc++ is preloaded with it: ASan intercepts __cxa_throw only if the C++
# runtime is there when it starts, and the fault tests throw.
libasan="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
sanitized_pytest() {  # interpreter, pytest arguments...
  local interpreter=$1
  shift
  env LD_PRELOAD="$libasan" \
    ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=1/detect_leaks=0}" \
    PYTHONMALLOC=malloc \
    GREEKMILL_SANITIZED_BUILD="$(realpath "$asan_build")" \
    GREEKMILL_SANITIZED=1 \
    GREEKMILL_ASAN_PRELOAD="$libasan" \
    GREEKMILL_FAULT_BUILD="$(realpath "$asan_faults")" \
    GREEKMILL_FUZZ_EXAMPLES="${GREEKMILL_FUZZ_EXAMPLES:-1000}" \
    "$interpreter" -c '
import os, sys
build = os.environ["GREEKMILL_SANITIZED_BUILD"]
sys.path.insert(0, build)
sys.path.insert(0, os.path.join(build, "package"))
import greekmill_python, greekmill._native
if os.path.dirname(os.path.realpath(greekmill_python.__file__)) != build:
    sys.exit(f"the sanitized module was not the one imported: {greekmill_python.__file__}")
if not os.path.realpath(greekmill._native.__file__).startswith(build):
    sys.exit(f"the sanitized array engine was not the one imported: {greekmill._native.__file__}")
import pytest
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", *sys.argv[1:]]))
' "$@"
}
sanitized_pytest "$python" tests

# The same abi3 build on the other interpreters, in the venvs scripts/test.sh
# makes: the calls on the caller's own dictionary (the reproducer of a
# use-after-free among them) and the interpreter life cycle.
# shellcheck source=scripts/find_python.sh
source scripts/find_python.sh
reference_version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
for version in 3.11 3.12 3.13; do
  [ "$version" = "$reference_version" ] && continue
  venv=build/venv-$version
  if [ ! -x "$venv/bin/python" ]; then
    echo "== CPython $version under ASan: no $venv (scripts/test.sh makes it): skipped"
    continue
  fi
  echo "== CPython $version under ASan + UBSan: the caller's own dictionary, the life cycle"
  sanitized_pytest "$venv/bin/python" tests/test_lifecycle.py \
    tests/test_fuzz.py::test_conversions_that_change_the_callers_own_dictionary_leave_every_argument_bound \
    tests/test_fuzz.py::test_the_reproducer_of_the_emptied_dictionary_runs_a_thousand_times_without_a_crash
done

echo "== C++ core tests under valgrind memcheck"
configure "$valgrind_build" -DGREEKMILL_BUILD_TESTS=ON -DGREEKMILL_BUILD_MODULE=OFF
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
  --track-origins=yes --quiet "$valgrind_build/core_tests" --gtest_brief=1
echo "== sanitizers and valgrind: clean"
