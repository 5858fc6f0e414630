#!/usr/bin/env bash
# The pricing core on 64-bit ARM, part of CI (.ci/run): cross-compiles the
# core and its C++ tests for aarch64 with Debian's g++-aarch64-linux-gnu
# (GoogleTest built from /usr/src/googletest with the same compiler), runs
# the tests under qemu-user, and compares the bits of a fixed sample of
# results (tests/core/bit_sample.cpp) with the same program built for this
# x86-64 machine.
#
# The vectorised kernels of precision="fast" and the American engine (which
# runs on those kernels) are promised to give the same bits on both: any
# difference fails this script.  The build flags are the core's own (-ffp-contract=off reaches
# every target through greekmill_core): GCC would otherwise fuse a*b + c
# into one FMA on aarch64 and round once where x86-64 rounds twice.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=2
root=build/cross-aarch64
gtest_prefix=$root/gtest
native=$root/native
target=$root/core

missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
[ -d /usr/src/googletest ] || missing+=(googletest)
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v file >/dev/null || missing+=(file)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
toolchain=$(realpath cmake/aarch64-linux-gnu.cmake)

if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "== GoogleTest for aarch64 (from /usr/src/googletest)"
  cmake -S /usr/src/googletest -B "$root/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$(realpath -m "$gtest_prefix")" \
    -Wno-dev -Wno-deprecated >/dev/null
  cmake --build "$root/gtest-build" -j "$jobs" >/dev/null
  cmake --install "$root/gtest-build" >/dev/null
fi

echo "== the core and its tests for aarch64"
cmake -S . -B "$target" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DGREEKMILL_BUILD_MODULE=OFF -DGREEKMILL_BUILD_TESTS=ON \
  -DGTest_DIR="$(realpath "$gtest_prefix")/lib/cmake/GTest" >/dev/null
cmake --build "$target" -j "$jobs" >/dev/null
file "$target/core_tests" | grep -q "ARM aarch64" ||
  { echo "core_tests was not built for aarch64: $(file "$target/core_tests")"; exit 1; }

emulate=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
echo "== C++ core tests under qemu-aarch64"
# The death tests re-execute the binary, which the kernel can run only where
# qemu is registered with binfmt_misc (not in a container): left out here;
# what they check, the choice of a vector width, has one answer on aarch64.
"${emulate[@]}" "$target/core_tests" --gtest_brief=1 --gtest_filter='-*DeathTest*'


echo "== the same sample of results on x86-64 and on aarch64"
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DGREEKMILL_BUILD_MODULE=OFF \
  -DGREEKMILL_BUILD_TESTS=ON >/dev/null
cmake --build "$native" -j "$jobs" --target core_bit_sample >/dev/null
"$native/core_bit_sample" >"$root/x86_64.txt"
"${emulate[@]}" "$target/core_bit_sample" >"$root/aarch64.txt"

failed=0
while read -r name count hash; do
  other=$(awk -v name="$name" '$1 == name { print $2, $3 }' "$root/aarch64.txt")
  if [ "$other" = "$count $hash" ]; then
    echo "same bits   $name ($count values)"
  else
    echo "DIFFERENT   $name: x86-64 $count $hash, aarch64 ${other:-missing}"
    failed=1
  fi
done <"$root/x86_64.txt"
[ "$failed" = 0 ] && echo "== aarch64: every sampled result has the bits of x86-64"
exit "$failed"
