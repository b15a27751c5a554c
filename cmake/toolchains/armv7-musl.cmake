# ARMv7-A, hard-float (VFPv3-D16), fully static against musl, from Debian's
# packages alone: g++-arm-linux-gnueabihf and musl-dev:armhf, whose specs
# file swaps glibc's headers, start files and library for musl's. Programs
# built here run on this machine through qemu-arm-static.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7-a)

set(IPC_CROSS_TRIPLE arm-linux-gnueabihf)
set(IPC_MUSL_SPECS /usr/lib/arm-linux-musleabihf/musl-gcc.specs
    CACHE FILEPATH "musl's specs file for the ARM cross compiler")

set(CMAKE_C_COMPILER ${IPC_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${IPC_CROSS_TRIPLE}-g++)

set(_ipc_arch "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -specs=${IPC_MUSL_SPECS}")
set(CMAKE_C_FLAGS_INIT "${_ipc_arch}")
set(CMAKE_CXX_FLAGS_INIT "${_ipc_arch}")
# musl's static start-up never makes a RELRO region read-only (only its
# dynamic loader does), so the page of padding that the linker would put
# before the data for it buys nothing on the device's flash.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,-z,norelro")

find_program(IPC_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(IPC_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${IPC_QEMU_ARM})
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
