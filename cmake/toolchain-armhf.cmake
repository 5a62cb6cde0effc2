# Cross-building for 32-bit Raspberry Pi OS (armhf), for every model, Pi 1
# and Zero (ARM1176JZF-S, ARMv6) included, with Debian's arm-linux-gnueabi
# (armel) compilers:
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Debian's armhf runtime (crt*.o, libgcc, libc, libstdc++) is built for ARMv7
# Thumb-2, and whatever sysroot is given, its cross compiler links its own
# start-up objects and libgcc: no armhf program it links runs on ARMv6.
# Debian's armel runtime is ARMv5TE in ARM state, which every Raspberry Pi
# runs. So the code is compiled for the Pi 1's architecture, ARMv6KZ with
# VFPv2, in ARM state, with soft-float calls (the armel runtime's), and the
# program is linked statically (SORVALEN_STATIC_PROGRAM): it needs nothing of
# the board's armhf runtime, only the kernel (with its user helpers, which
# the armel runtime calls for atomic operations and the thread pointer).
# Test programs and the simulated board's library stay dynamic; under
# qemu-arm they run with the armel runtime on an ARM1176 CPU.
#
# A sysroot is not taken: the board's armhf libraries use hard-float calls,
# which the armel runtime cannot link with.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(sorvalen_triplet arm-linux-gnueabi)
set(sorvalen_qemu qemu-arm)
set(sorvalen_qemu_cpu arm1176)
if(SORVALEN_SYSROOT OR DEFINED ENV{SORVALEN_SYSROOT})
  message(FATAL_ERROR "sorvalen: the armhf cross-build takes no sysroot: it links Debian's armel "
                      "runtime statically into the program, which then runs on every Raspberry Pi")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/RaspberryPiCross.cmake)

set(sorvalen_arm_flags "-march=armv6kz -mfpu=vfp -mfloat-abi=softfp -marm")
set(CMAKE_C_FLAGS_INIT "${sorvalen_arm_flags}")
set(CMAKE_CXX_FLAGS_INIT "${sorvalen_arm_flags}")
set(SORVALEN_STATIC_PROGRAM ON)
