# Warnings for our own targets, and the optional sanitizer and fuzzer builds.
#
#   -DTAVELIN_SANITIZE=address   AddressSanitizer + UndefinedBehaviorSanitizer
#   -DTAVELIN_SANITIZE=thread    ThreadSanitizer
#   -DTAVELIN_FUZZ=ON            libFuzzer targets (needs clang; implies ASan + UBSan)

set(TAVELIN_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
option(TAVELIN_FUZZ "Build the libFuzzer targets (clang only)" OFF)

add_library(tavelin_warnings INTERFACE)
target_compile_options(tavelin_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion)

if(TAVELIN_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "TAVELIN_FUZZ needs clang (CC=clang CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
    add_compile_definitions(TAVELIN_SANITIZER_BUILD=1)
elseif(TAVELIN_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    # GCC's maybe-uninitialized analysis misreads the instrumented moves of a std::variant
    # (every member initialised, yet warned about); the plain build keeps the warning.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
    add_link_options(-fsanitize=address,undefined)
    add_compile_definitions(TAVELIN_SANITIZER_BUILD=1)
elseif(TAVELIN_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
    add_compile_definitions(TAVELIN_SANITIZER_BUILD=1)
elseif(NOT TAVELIN_SANITIZE STREQUAL "")
    message(FATAL_ERROR "TAVELIN_SANITIZE must be empty, address or thread")
endif()
