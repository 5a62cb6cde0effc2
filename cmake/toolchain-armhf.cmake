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
set(CMAKE_SYSTEM_PROCESSOR arm)
set(sorvalen_triplet arm-linux-gnueabihf)
set(sorvalen_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/RaspberryPiCross.cmake)

set(sorvalen_arm_flags "-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm")
set(CMAKE_C_FLAGS_INIT "${sorvalen_arm_flags}")
set(CMAKE_CXX_FLAGS_INIT "${sorvalen_arm_flags}")
