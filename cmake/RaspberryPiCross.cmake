# What the cross-building toolchain files share: Debian's compilers for the
# triplet `sorvalen_triplet`, the optional sysroot, where libraries and headers
# are looked for, and the user-mode qemu `sorvalen_qemu` that runs the target's
# programs (tests and test discovery) with its dynamic loader and libraries,
# on the CPU `sorvalen_qemu_cpu` where one is named.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${sorvalen_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${sorvalen_triplet}-g++)

set(SORVALEN_SYSROOT "$ENV{SORVALEN_SYSROOT}" CACHE PATH "Copy of the board's root file system (optional)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SORVALEN_SYSROOT)

if(SORVALEN_SYSROOT)
  set(CMAKE_SYSROOT "${SORVALEN_SYSROOT}")
  set(sorvalen_target_root "${SORVALEN_SYSROOT}")
else()
  set(sorvalen_target_root /usr/${sorvalen_triplet})
endif()
set(CMAKE_FIND_ROOT_PATH "${sorvalen_target_root}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(SORVALEN_QEMU_USER ${sorvalen_qemu})
if(SORVALEN_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${SORVALEN_QEMU_USER};-L;${sorvalen_target_root}")
  if(sorvalen_qemu_cpu)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -cpu ${sorvalen_qemu_cpu})
  endif()
endif()
