# Toolchain: the clang and libc++ that the ziglang package ships
# (`python -m ziglang c++`), for the target named by the environment variable
# GREEKMILL_ZIG_TARGET (x86_64-macos, aarch64-macos, x86_64-windows-gnu,
# aarch64-linux-gnu, x86_64-linux-gnu).  GREEKMILL_ZIG_BIN is the folder of
# the wrappers zig-c++, zig-ar and zig-ranlib that scripts/cross_toolchains.sh
# writes (one executable per tool, as CMake wants).
set(GREEKMILL_ZIG_TARGET "$ENV{GREEKMILL_ZIG_TARGET}")
set(GREEKMILL_ZIG_BIN "$ENV{GREEKMILL_ZIG_BIN}")
if(NOT GREEKMILL_ZIG_TARGET OR NOT GREEKMILL_ZIG_BIN)
  message(FATAL_ERROR "set GREEKMILL_ZIG_TARGET and GREEKMILL_ZIG_BIN (scripts/cross_toolchains.sh)")
endif()

string(REGEX MATCH "^[^-]+" GREEKMILL_ZIG_ARCH "${GREEKMILL_ZIG_TARGET}")
if(GREEKMILL_ZIG_TARGET MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  # zig links a Mach-O bundle as a shared library (dlopen takes either);
  # its -bundle is not a module.
  set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/zig-darwin-rules.cmake")
elseif(GREEKMILL_ZIG_TARGET MATCHES "-windows")
  set(CMAKE_SYSTEM_NAME Windows)
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
set(CMAKE_SYSTEM_PROCESSOR "${GREEKMILL_ZIG_ARCH}")

set(CMAKE_CXX_COMPILER "${GREEKMILL_ZIG_BIN}/zig-c++")
set(CMAKE_CXX_COMPILER_TARGET "${GREEKMILL_ZIG_TARGET}")
set(CMAKE_C_COMPILER "${GREEKMILL_ZIG_BIN}/zig-cc")
set(CMAKE_C_COMPILER_TARGET "${GREEKMILL_ZIG_TARGET}")
set(CMAKE_AR "${GREEKMILL_ZIG_BIN}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${GREEKMILL_ZIG_BIN}/zig-ranlib" CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
