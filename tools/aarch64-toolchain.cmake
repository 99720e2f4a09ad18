# Cross-compiling for ARM64 Linux with Debian's cross compiler, against a
# sysroot of Debian's arm64 packages (tools/wheel-aarch64 makes it), and
# running what the build runs (its tests) under qemu's user-mode emulation.
# The sysroot comes from TAMSEL_AARCH64_SYSROOT, in the environment or the cache.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT TAMSEL_AARCH64_SYSROOT)
  set(TAMSEL_AARCH64_SYSROOT "$ENV{TAMSEL_AARCH64_SYSROOT}")
endif()
if(NOT TAMSEL_AARCH64_SYSROOT)
  message(FATAL_ERROR "set TAMSEL_AARCH64_SYSROOT to the arm64 sysroot")
endif()
set(TAMSEL_AARCH64_SYSROOT "${TAMSEL_AARCH64_SYSROOT}" CACHE PATH "the arm64 sysroot")
# Try-compiles see the variable too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAMSEL_AARCH64_SYSROOT)

# Libraries, headers and CMake packages from the sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH "${TAMSEL_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${TAMSEL_AARCH64_SYSROOT}")
