# SPDX-License-Identifier: MIT
# Cross build for 64-bit RISC-V Linux (RV64GC, lp64d) with Debian's g++-riscv64-linux-gnu; tests
# run under qemu-riscv64.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(HOGSPIN_CROSS_TRIPLE riscv64-linux-gnu)
set(HOGSPIN_CROSS_QEMU qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
