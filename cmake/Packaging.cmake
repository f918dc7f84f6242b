# SPDX-License-Identifier: MIT
# Debian package of the installed files: `cpack -G DEB` in a build tree, for the target it builds.
set(HOGSPIN_PACKAGE_MAINTAINER "The hogspin developers <devel@hogspin.org>"
    CACHE STRING "Maintainer field of the Debian package")

# The Debian architecture is the target's, never the build machine's: taken from the
# compiler's multiarch tuple, which CMake reads off its library directories.
set(target_tuple "${CMAKE_LIBRARY_ARCHITECTURE}")
if(NOT target_tuple)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
        OUTPUT_VARIABLE target_tuple OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(target_tuple MATCHES "^x86_64-")
    set(HOGSPIN_DEB_ARCH amd64)
elseif(target_tuple MATCHES "^aarch64-")
    set(HOGSPIN_DEB_ARCH arm64)
elseif(target_tuple MATCHES "^arm.*-gnueabihf$")
    set(HOGSPIN_DEB_ARCH armhf)
elseif(target_tuple MATCHES "^riscv64-")
    set(HOGSPIN_DEB_ARCH riscv64)
else()
    message(FATAL_ERROR "No Debian architecture known for the target '${target_tuple}' "
        "(known: amd64, arm64, armhf, riscv64); add it in ${CMAKE_CURRENT_LIST_FILE}")
endif()

# The changelog's latest entry must name the version being packaged.
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^hogspin \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with '${changelog_head}', not version ${PROJECT_VERSION}")
endif()

# Debian wants the manual page and the changelog compressed, without name or timestamp so
# that the package reproduces.
find_program(HOGSPIN_GZIP gzip REQUIRED)
set(packaged_docs)
foreach(doc IN ITEMS docs/hogspin.1 packaging/changelog)
    get_filename_component(name "${doc}" NAME)
    add_custom_command(
        OUTPUT "${PROJECT_BINARY_DIR}/${name}.gz"
        COMMAND ${CMAKE_COMMAND} -E copy "${PROJECT_SOURCE_DIR}/${doc}" "${PROJECT_BINARY_DIR}/${name}"
        COMMAND ${HOGSPIN_GZIP} -9nf "${PROJECT_BINARY_DIR}/${name}"
        DEPENDS "${PROJECT_SOURCE_DIR}/${doc}"
        VERBATIM)
    list(APPEND packaged_docs "${PROJECT_BINARY_DIR}/${name}.gz")
endforeach()
add_custom_target(hogspin_docs ALL DEPENDS ${packaged_docs})

install(FILES "${PROJECT_BINARY_DIR}/hogspin.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${PROJECT_BINARY_DIR}/changelog.gz" packaging/copyright
    DESTINATION "${CMAKE_INSTALL_DOCDIR}")
# A stripped install (CPack's, or cmake --install --strip) also drops the compiler's
# identification strings, as Debian's own packaging does.
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/hogspin\" COMMAND_ERROR_IS_FATAL ANY)
    endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hogspin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep one CPU busy with threads pinned to it")
# Debian wants the long description in short lines; CPack indents each one.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "hogspin starts a number of worker threads, pins every one of them to one"
    "chosen CPU and lets them spin until SIGINT or SIGTERM, then joins them and"
    "exits. It puts a known load on one core of a board for thermal and power"
    "checks, scheduler and latency experiments, and priority tests.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${HOGSPIN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${HOGSPIN_DEB_ARCH})
# Depends is read off the built binary when cpack runs (PackageDepends.cmake): dpkg-shlibdeps
# would need the target's libc6 installed, which a cross build does not have.
set(CPACK_HOGSPIN_BINARY "${PROJECT_BINARY_DIR}/hogspin")
set(CPACK_HOGSPIN_READELF "${CMAKE_READELF}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/PackageDepends.cmake")

include(CPack)
