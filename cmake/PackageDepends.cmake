# SPDX-License-Identifier: MIT
# Run by cpack: sets the package's Depends to the glibc the built binary really needs, the
# newest GLIBC_ symbol version it references. A static binary needs nothing.
execute_process(COMMAND "${CPACK_HOGSPIN_READELF}" -dVW "${CPACK_HOGSPIN_BINARY}"
    OUTPUT_VARIABLE elf_info RESULT_VARIABLE elf_status)
if(NOT elf_status EQUAL 0)
    message(FATAL_ERROR "cannot read ${CPACK_HOGSPIN_BINARY}: build it before packaging")
endif()

string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${elf_info}")
foreach(library IN LISTS needed)
    if(NOT library MATCHES "\\[(libc\\.so\\.6|ld-linux[^]]*)\\]")
        message(FATAL_ERROR "hogspin should need glibc alone, but it needs ${library}")
    endif()
endforeach()

set(glibc_version "")
string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" versions "${elf_info}")
foreach(version IN LISTS versions)
    string(REPLACE "Name: GLIBC_" "" version "${version}")
    if(version VERSION_GREATER glibc_version)
        set(glibc_version "${version}")
    endif()
endforeach()

if(needed AND NOT glibc_version)
    message(FATAL_ERROR "${CPACK_HOGSPIN_BINARY} is dynamic but names no GLIBC_ version")
endif()
if(glibc_version)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${glibc_version})")
else()
    unset(CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()
