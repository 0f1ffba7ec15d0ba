# Applied to every target of the project through kinetra_target_defaults().
set(KINETRA_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow)
if(KINETRA_WERROR)
    list(APPEND KINETRA_WARNING_FLAGS -Werror)
endif()

function(kinetra_target_defaults target)
    target_compile_options(${target} PRIVATE ${KINETRA_WARNING_FLAGS})
endfunction()
