# Cross-building for 32-bit Raspberry Pi OS (armhf) with Debian's
# arm-linux-gnueabihf compilers:
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# The project's own code is compiled for the baseline every Raspberry Pi runs,
# Pi 1 and Zero included: ARMv6 with VFPv2, hard-float calls, ARM state.
#
# SORVALEN_SYSROOT (optional) names a copy of the board's root file system.
# With it the build links the board's own C and C++ runtime and, where it is
# installed there, the board's GPIO library, and the result runs on every
# model. Without it the build links Debian's armhf runtime, which is built for
# ARMv7: the result runs on ARMv7 and later boards (Pi 2 and up) and under
# qemu-arm, which is how the tests run it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(SORVALEN_SYSROOT "$ENV{SORVALEN_SYSROOT}" CACHE PATH "Copy of the board's root file system (optional)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SORVALEN_SYSROOT)

if(SORVALEN_SYSROOT)
  set(CMAKE_SYSROOT "${SORVALEN_SYSROOT}")
  set(CMAKE_FIND_ROOT_PATH "${SORVALEN_SYSROOT}")
  set(sorvalen_target_root "${SORVALEN_SYSROOT}")
else()
  set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
  set(sorvalen_target_root /usr/arm-linux-gnueabihf)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(sorvalen_arm_flags "-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm")
set(CMAKE_C_FLAGS_INIT "${sorvalen_arm_flags}")
set(CMAKE_CXX_FLAGS_INIT "${sorvalen_arm_flags}")

# Tests and test discovery run the target's programs under qemu-arm, with the
# target's dynamic loader and libraries.
find_program(SORVALEN_QEMU_ARM qemu-arm)
if(SORVALEN_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${SORVALEN_QEMU_ARM};-L;${sorvalen_target_root}")
endif()
