# SPDX-License-Identifier: MIT
# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; tests run under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(HOGSPIN_CROSS_TRIPLE aarch64-linux-gnu)
set(HOGSPIN_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
