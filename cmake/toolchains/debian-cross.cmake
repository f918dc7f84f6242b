# SPDX-License-Identifier: MIT
# Shared part of the cross toolchain files: Debian's cross g++ for HOGSPIN_CROSS_TRIPLE, with
# its binaries run under qemu-user (HOGSPIN_CROSS_QEMU). Included by the per-target files.
set(CMAKE_SYSTEM_NAME Linux)

set(HOGSPIN_CROSS_SYSROOT /usr/${HOGSPIN_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${HOGSPIN_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HOGSPIN_CROSS_TRIPLE}-g++)

# Target headers and libraries come from the cross sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH ${HOGSPIN_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# There is no binfmt handler here: ctest and test discovery run every target binary through
# the emulator, with the sysroot for its dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR ${HOGSPIN_CROSS_QEMU} -L ${HOGSPIN_CROSS_SYSROOT})
