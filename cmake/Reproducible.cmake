# SPDX-License-Identifier: MIT
# hogspin_set_reproducible(target): keeps the source and build directories' paths out of the
# binary (debug information, __FILE__), so that two checkouts build the same bytes.
function(hogspin_set_reproducible target)
    # GCC tries the last map first: the build directory may lie inside the source tree.
    target_compile_options(${target} PRIVATE
        "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
        "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")
endfunction()
