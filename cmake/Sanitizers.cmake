# Sanitizer builds instrument every target, tests included.
if(KINETRA_SANITIZE STREQUAL "asan-ubsan")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(KINETRA_SANITIZE STREQUAL "tsan")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT KINETRA_SANITIZE STREQUAL "")
    message(FATAL_ERROR "KINETRA_SANITIZE must be empty, asan-ubsan or tsan")
endif()

if(KINETRA_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "The fuzz targets need clang (use the fuzz preset)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# Coverage: gcov counters in every object; tools/coverage.sh runs the suite and reads them.
if(KINETRA_COVERAGE)
    add_compile_options(--coverage -fprofile-update=atomic)
    add_link_options(--coverage)
endif()
