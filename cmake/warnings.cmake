# Project warnings are added PRIVATE to our own targets only, so they never leak into plug-in
# builds that consume the SDK.
function(vorn_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wconversion -Wnon-virtual-dtor
        $<$<BOOL:${VORN_WERROR}>:-Werror>)
endfunction()
