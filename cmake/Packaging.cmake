# SPDX-License-Identifier: MIT
# Debian package of the installed files: `cpack -G DEB` in a build tree, for the host or arm64.
set(HOGSPIN_PACKAGE_MAINTAINER "hogspin developers <hogspin@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

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
if(NOT HOGSPIN_STATIC)
    # Built against glibc 2.34 or later, the pthread calls carry that symbol version.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
endif()
if(CMAKE_CROSSCOMPILING)
    # CPack would ask dpkg, which names the host's architecture.
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    else()
        message(WARNING "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}; the package will claim the host's")
    endif()
endif()

include(CPack)
