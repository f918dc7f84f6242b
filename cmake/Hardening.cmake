# SPDX-License-Identifier: MIT
# hogspin_set_hardening(target [STATIC]): PIE, full RELRO, stack protector and, when optimised,
# _FORTIFY_SOURCE; STATIC links a self-contained binary, static-pie where the C library can.
include(CheckLinkerFlag)

function(hogspin_set_hardening target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "STATIC" "" "")
    if(arg_STATIC)
        if(HOGSPIN_SANITIZERS)
            message(FATAL_ERROR "A static build does not combine with HOGSPIN_SANITIZERS")
        endif()
        # static-pie needs the C library's rcrt1.o, which Debian ships for amd64 and arm64 but
        # not for armhf or riscv64: there the binary is plain static, at a fixed address.
        set(static_link -static)
        if(HOGSPIN_HARDENING)
            check_linker_flag(CXX -static-pie HOGSPIN_HAVE_STATIC_PIE)
            if(HOGSPIN_HAVE_STATIC_PIE)
                set(static_link -static-pie)
            else()
                message(STATUS "No static-pie for this target: ${target} is static but not PIE")
            endif()
        endif()
        target_link_options(${target} PRIVATE ${static_link})
    endif()
    if(NOT HOGSPIN_HARDENING)
        return()
    endif()
    # PIE by hand: CMake's own PIE flags would add -pie or -no-pie and undo -static-pie.
    target_compile_options(${target} PRIVATE -fPIE -fstack-protector-strong -fstack-clash-protection)
    if(NOT arg_STATIC)
        target_link_options(${target} PRIVATE -pie)
    endif()
    # Some toolchains predefine _FORTIFY_SOURCE; redefine it rather than warn. It needs the
    # optimiser, and the sanitizers bring checks of their own.
    if(NOT HOGSPIN_SANITIZERS)
        target_compile_options(${target} PRIVATE
            $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
    endif()
    # Full RELRO: resolve every symbol at load, then make the GOT read-only.
    target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
endfunction()
