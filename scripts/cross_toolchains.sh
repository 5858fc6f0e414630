#!/usr/bin/env bash
# greekmill with toolchains other than this machine's GCC, at the warning
# level every toolchain must pass without a warning (GREEKMILL_WERROR:
# -Wall -Wextra -Wpedantic -Werror).
#
#   bash scripts/cross_toolchains.sh [STEP...]      (no STEP: every step)
#
#   clang-linux   clang + libc++ (the compiler of the ziglang package) for
#                 x86_64-linux-gnu: the core, its C++ tests (run here) and
#                 both extensions; the fixed sample of results
#                 (tests/core/bit_sample.cpp) compared with GCC's bits.
#   macos         the core and both extensions for x86_64-macos and
#                 aarch64-macos, compiled and linked (not run: no macOS here).
#   windows-clang the core and both extensions for x86_64-windows-gnu with
#                 the same clang, compiled and linked (not run).
#   mingw         Debian's mingw-w64 GCC for 64-bit Windows: the core, its C++
#                 tests and both extensions; the tests and the sample of
#                 results run under wine64, the sample compared with Linux's.
#
# The extensions are built against this machine's CPython headers (3.11 or
# later, limited API 3.11); for Windows with cmake/cross/windows-pyconfig.h
# in place of the Linux pyconfig.h, and linked with an import library of
# python3.dll made from cmake/cross/python3.def.  No Windows or macOS Python
# runs here: those extensions are linked, never imported.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/venv.sh
source scripts/venv.sh

jobs=2
root=$(realpath -m build/cross)
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(clang-linux macos windows-clang mingw)
for step in "${steps[@]}"; do
  case $step in
    clang-linux | macos | windows-clang | mingw) ;;
    *) echo "unknown step $step (clang-linux, macos, windows-clang, mingw)" >&2; exit 2 ;;
  esac
done
wants() { [[ " ${steps[*]} " == *" $1 "* ]]; }

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v file >/dev/null || missing+=(file)
command -v x86_64-w64-mingw32-dlltool >/dev/null || missing+=(binutils-mingw-w64-x86-64)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
if wants mingw; then
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
  [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
mkdir -p "$root"

# ---- Python headers of the targets
python=${PYTHON:-python3}
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
[ -f "$include/Python.h" ] || { echo "no Python.h in $include (install python3-dev)"; exit 1; }
# Python.h includes "pyconfig.h" from its own folder: Windows gets a copy of
# the headers with its own configuration in place.
windows_python=$root/python-windows
rm -rf "$windows_python"
mkdir -p "$windows_python"
cp -r "$include" "$windows_python/include"
cp cmake/cross/windows-pyconfig.h "$windows_python/include/pyconfig.h"
x86_64-w64-mingw32-dlltool -d cmake/cross/python3.def -l "$windows_python/libpython3.dll.a"

module_args=(-DGREEKMILL_BUILD_MODULE=ON -DPython_EXECUTABLE="$(command -v "$python")")
windows_module_args=("${module_args[@]}" -DPython_INCLUDE_DIR="$windows_python/include"
  -DPython_SABI_LIBRARY="$windows_python/libpython3.dll.a"
  # Tells FindPython the import library is a DLL's (else it adds this
  # machine's -ldl -lm, as for a static libpython).
  -D_Python_RUNTIME_SABI_LIBRARY_RELEASE="$windows_python/python3.dll")

# ---- clang + libc++ from the ziglang package (a pinned version)
zig_bin=$root/zig-bin
if wants clang-linux || wants macos || wants windows-clang; then
  # Outside the checkout, like zig's own cache: its tens of thousands of
  # headers would slow every sdist build's walk of the source tree.
  zig_venv=${GREEKMILL_CROSS_CACHE:-$HOME/.cache/greekmill}/venv-zig
  if ! "$zig_venv/bin/python" -m ziglang version >/dev/null 2>&1; then
    fresh_venv "$python" "$zig_venv"
    "$zig_venv/bin/python" -m pip install -q "ziglang==0.17.1"
  fi
  mkdir -p "$zig_bin"
  for tool in c++ cc ar ranlib; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$zig_venv/bin/python" "$tool" >"$zig_bin/zig-$tool"
    chmod +x "$zig_bin/zig-$tool"
  done
  echo "== clang: $("$zig_bin/zig-c++" --version | head -n 1)"
fi

# with_zig TARGET COMMAND...: COMMAND with cmake/cross/zig.cmake set to
# TARGET (CMake reads it again whenever it re-configures during a build).
with_zig() {
  local target=$1
  shift
  GREEKMILL_ZIG_TARGET=$target GREEKMILL_ZIG_BIN=$zig_bin "$@"
}
zig_toolchain=(-DCMAKE_TOOLCHAIN_FILE="$(realpath cmake/cross/zig.cmake)")
mingw_toolchain=(-DCMAKE_TOOLCHAIN_FILE="$(realpath cmake/cross/mingw-w64.cmake)")

# gtest_for NAME CMAKE-ARGS...: GoogleTest from Debian's sources, built once
# per toolchain (its C++ library must be the tests').
gtest_for() {
  local name=$1 prefix=$root/$1/gtest
  shift
  if [ ! -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    echo "   GoogleTest for $name (from /usr/src/googletest)"
    cmake -S /usr/src/googletest -B "$root/$name/gtest-build" -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$prefix" -Wno-dev -Wno-deprecated "$@" >/dev/null
    cmake --build "$root/$name/gtest-build" -j "$jobs" >/dev/null
    cmake --install "$root/$name/gtest-build" >/dev/null
  fi
}

# build DIR CMAKE-ARGS...: greekmill configured and built in DIR at the
# warning level every toolchain must pass.
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DGREEKMILL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
}

# compare_samples REFERENCE OTHER NAME [KIND...]: the same bits in both
# samples, except for the KINDs named (reported, not failed).
compare_samples() {
  local reference=$1 sample=$2 label=$3 failed=0 name count hash other
  shift 3
  local excused="$*" differing=""
  while read -r name count hash; do
    other=$(awk -v name="$name" '$1 == name { print $2, $3 }' "$sample")
    if [ "$other" = "$count $hash" ]; then
      continue
    elif [[ " $excused " == *" $name "* ]]; then
      echo "   other bits  $name (the platform's std::asinh places the grid's nodes)"
      differing=" (except those above)"
    else
      echo "DIFFERENT   $name: GCC on Linux $count $hash, $label ${other:-missing}"
      failed=1
    fi
  done <"$reference"
  [ "$failed" = 0 ] && echo "   $label: the sampled results have the bits of GCC on Linux$differing"
  return "$failed"
}

# The sample from this machine's GCC build: the core tests' build of
# scripts/test.sh when there is one (brought up to date), else its own.
reference_sample() {
  local native=build/core-tests
  if [ ! -f "$native/CMakeCache.txt" ]; then
    native=$root/gcc-linux
    cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DGREEKMILL_BUILD_MODULE=OFF \
      -DGREEKMILL_BUILD_TESTS=ON >/dev/null
  fi
  cmake --build "$native" -j "$jobs" --target core_bit_sample >/dev/null
  "$native/core_bit_sample" >"$root/gcc-linux.txt"
}

# check_file PATH PATTERN: PATH was built for the platform `file` names.
check_file() {
  file -L "$1" | grep -q "$2" || { echo "$1 is not $2: $(file -L "$1")"; exit 1; }
  echo "   built $(basename "$1"): $(file -bL "$1" | cut -d, -f1)"
}

if wants clang-linux; then
  echo "== clang + libc++, x86_64-linux-gnu: core, C++ tests, extensions"
  with_zig x86_64-linux-gnu gtest_for clang-linux "${zig_toolchain[@]}"
  dir=$root/clang-linux/build
  with_zig x86_64-linux-gnu build "$dir" "${zig_toolchain[@]}" "${module_args[@]}" \
    -DGREEKMILL_BUILD_TESTS=ON -DGTest_DIR="$root/clang-linux/gtest/lib/cmake/GTest"
  "$dir/core_tests" --gtest_brief=1
  reference_sample
  "$dir/core_bit_sample" >"$root/clang-linux.txt"
  compare_samples "$root/gcc-linux.txt" "$root/clang-linux.txt" "clang + libc++"
fi

if wants macos; then
  for target in x86_64-macos aarch64-macos; do
    echo "== clang + libc++, $target: core and extensions (compiled and linked, not run)"
    dir=$root/$target
    with_zig "$target" build "$dir" "${zig_toolchain[@]}" "${module_args[@]}" \
      -DPython_INCLUDE_DIR="$include"
    arch=${target%%-*}
    [ "$arch" = aarch64 ] && arch=arm64
    for module in greekmill_python _native; do
      check_file "$dir/$module.abi3.so" "Mach-O 64-bit.*$arch"
    done
  done
fi

if wants windows-clang; then
  echo "== clang + libc++, x86_64-windows-gnu: core and extensions (compiled and linked, not run)"
  dir=$root/x86_64-windows-gnu
  with_zig x86_64-windows-gnu build "$dir" "${zig_toolchain[@]}" "${windows_module_args[@]}"
  for module in greekmill_python _native; do
    check_file "$dir/$module.pyd" "PE32+ executable (DLL).*x86-64"
  done
fi

if wants mingw; then
  echo "== mingw-w64 GCC: core, C++ tests and extensions; the tests under wine64"
  gtest_for mingw "${mingw_toolchain[@]}"
  dir=$root/mingw/build
  build "$dir" "${mingw_toolchain[@]}" "${windows_module_args[@]}" -DGREEKMILL_BUILD_TESTS=ON \
    -DGTest_DIR="$root/mingw/gtest/lib/cmake/GTest"
  for module in greekmill_python _native; do
    check_file "$dir/$module.pyd" "PE32+ executable (DLL).*x86-64"
  done
  check_file "$dir/core_tests.exe" "PE32+ executable.*x86-64"
  # Outside the checkout: a wine prefix holds a link to / (drive Z:), which
  # an sdist build's walk of the source tree would follow.
  export WINEPREFIX=${GREEKMILL_CROSS_CACHE:-$HOME/.cache/greekmill}/wine WINEDEBUG=-all
  mkdir -p "$(dirname "$WINEPREFIX")"
  wine=(/usr/lib/wine/wine64)
  "${wine[@]}" "$dir/core_tests.exe" --gtest_brief=1
  reference_sample
  "${wine[@]}" "$dir/core_bit_sample.exe" | tr -d '\r' >"$root/mingw.txt"
  # The log-spot grid (the double-boundary regime, cash dividends) maps ln S
  # to its nodes with std::asinh, and Windows' maths library rounds some
  # asinh differently from glibc's: those two kinds differ in the low bits
  # (relative 1e-10 at most in the sample).  Every other kind calls no
  # platform maths and must match.
  compare_samples "$root/gcc-linux.txt" "$root/mingw.txt" "mingw-w64 under wine" \
    american.double_boundary dividends.american
fi
