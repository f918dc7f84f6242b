# SPDX-License-Identifier: MIT
# Cross build for 32-bit ARM Linux, hard-float (Debian armhf: ARMv7-A, Thumb-2, VFPv3-D16), with
# Debian's g++-arm-linux-gnueabihf; tests run under qemu-arm. Such binaries also run on the
# AArch32 user space of a 64-bit Cortex-A53 board.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(HOGSPIN_CROSS_TRIPLE arm-linux-gnueabihf)
set(HOGSPIN_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
