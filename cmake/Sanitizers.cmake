# SPDX-License-Identifier: MIT
# hogspin_set_sanitizers(target): instruments the target with HOGSPIN_SANITIZERS, if any.
function(hogspin_set_sanitizers target)
    if(NOT HOGSPIN_SANITIZERS)
        return()
    endif()
    list(JOIN HOGSPIN_SANITIZERS "," sanitizers)
    # No recovery: a finding must fail the run, not scroll past in the log.
    set(flags -fsanitize=${sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_compile_options(${target} PRIVATE ${flags})
    target_link_options(${target} PRIVATE ${flags})
    target_compile_definitions(${target} PRIVATE HOGSPIN_SANITIZED=1)
endfunction()
