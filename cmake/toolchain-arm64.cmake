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
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(sorvalen_triplet aarch64-linux-gnu)
set(sorvalen_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/RaspberryPiCross.cmake)
