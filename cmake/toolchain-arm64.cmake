# Cross-building for 64-bit Raspberry Pi OS (arm64) with Debian's
# aarch64-linux-gnu compilers:
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
#
# The code is compiled for the compilers' default, ARMv8-A, which every board
# that runs the 64-bit OS has: Pi 3, 4, 5 and Zero 2 W.
#
# SORVALEN_SYSROOT (optional) names a copy of the board's root file system.
# With it the build links the board's own C and C++ runtime and, where it is
# installed there, the board's GPIO library. Without it the build links
# Debian's arm64 runtime, which runs on the board too and under qemu-aarch64,
# which is how the tests run it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(SORVALEN_SYSROOT "$ENV{SORVALEN_SYSROOT}" CACHE PATH "Copy of the board's root file system (optional)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SORVALEN_SYSROOT)

if(SORVALEN_SYSROOT)
  set(CMAKE_SYSROOT "${SORVALEN_SYSROOT}")
  set(CMAKE_FIND_ROOT_PATH "${SORVALEN_SYSROOT}")
  set(sorvalen_target_root "${SORVALEN_SYSROOT}")
else()
  set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
  set(sorvalen_target_root /usr/aarch64-linux-gnu)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and test discovery run the target's programs under qemu-aarch64, with
# the target's dynamic loader and libraries.
find_program(SORVALEN_QEMU_AARCH64 qemu-aarch64)
if(SORVALEN_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${SORVALEN_QEMU_AARCH64};-L;${sorvalen_target_root}")
endif()
