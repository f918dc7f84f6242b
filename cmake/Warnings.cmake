# SPDX-License-Identifier: MIT
# hogspin_set_warnings(target): the project's warning set, errors when HOGSPIN_WARNINGS_AS_ERRORS.
function(hogspin_set_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic
        -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast -Wcast-align
        -Wnon-virtual-dtor -Woverloaded-virtual -Wnull-dereference
        -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
    set_target_properties(${target} PROPERTIES COMPILE_WARNING_AS_ERROR ${HOGSPIN_WARNINGS_AS_ERRORS})
endfunction()
