# Warnings for our own targets, and the optional sanitizer and fuzzer builds.
#
#   -DTAVELIN_SANITIZE=address   AddressSanitizer + UndefinedBehaviorSanitizer
#   -DTAVELIN_SANITIZE=thread    ThreadSanitizer
#   -DTAVELIN_FUZZ=ON            libFuzzer targets (needs clang; implies ASan + UBSan)

set(TAVELIN_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
option(TAVELIN_FUZZ "Build the libFuzzer targets (clang only)" OFF)

add_library(tavelin_warnings INTERFACE)
# A switch over an enum that leaves out one of its values fails to compile: dispatch over a
# closed set is exhaustive, so a new value must be handled wherever the set is switched on.
target_compile_options(tavelin_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion -Werror=switch)
# Clang checks the lock rules written as annotations (ThreadAnnotations.h); a broken rule
# fails the build. Other compilers ignore the annotations.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(tavelin_warnings INTERFACE -Wthread-safety -Werror=thread-safety)
endif()

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

# --- hardening: every object and executable of every build ---
# Stack protector, stack clash and control-flow protection, fortified libc calls,
# position-independent executables and a read-only GOT bound at start (full RELRO), so
# that a memory error in the root monitor is harder to turn into code execution.
# tools/check-hardening.sh reads them back from the built executables.
#
# Flags a package build passes (dpkg-buildflags: CFLAGS, CXXFLAGS and LDFLAGS, which CMake
# reads at the first configure, and CPPFLAGS, which it does not) come after ours, so that
# where the two differ the packager's choice wins.
set(TAVELIN_CPPFLAGS "$ENV{CPPFLAGS}" CACHE STRING
    "Preprocessor flags for C and C++, taken from CPPFLAGS at the first configure")

include(CheckPIESupported)
check_pie_supported(OUTPUT_VARIABLE tavelinPieOutput LANGUAGES C CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED OR NOT CMAKE_C_LINK_PIE_SUPPORTED)
    message(FATAL_ERROR "The toolchain cannot link position-independent executables:\n"
        "${tavelinPieOutput}")
endif()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

set(tavelinHardeningFlags -fstack-protector-strong)
# Not every target has these two (-fcf-protection is x86's): where the compiler rejects one,
# it is left out.
include(CheckCXXCompilerFlag)
foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "TAVELIN_HAS${flag}" supported)
    check_cxx_compiler_flag(${flag} ${supported})
    if(${supported})
        list(APPEND tavelinHardeningFlags ${flag})
    endif()
endforeach()
list(JOIN tavelinHardeningFlags " " tavelinHardeningFlags)
foreach(language C CXX)
    set(CMAKE_${language}_FLAGS
        "${tavelinHardeningFlags} ${TAVELIN_CPPFLAGS} ${CMAKE_${language}_FLAGS}")
endforeach()
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS "-Wl,-z,relro,-z,now ${CMAKE_${kind}_LINKER_FLAGS}")
endforeach()

# Whether `flags` optimise: the last -O wins, none at all is -O0.
function(tavelin_flags_optimise flags outputVariable)
    string(REGEX MATCHALL "(^| )-O[^ ]*" levels " ${flags}")
    list(LENGTH levels count)
    set(optimising FALSE)
    if(count GREATER 0)
        list(GET levels -1 last)
        if(NOT last MATCHES "-O0$")
            set(optimising TRUE)
        endif()
    endif()
    set(${outputVariable} ${optimising} PARENT_SCOPE)
endfunction()

# _FORTIFY_SOURCE works only when optimising (glibc warns at -O0 and checks nothing), so
# it is defined only for the configurations whose flags optimise. Level 3 also checks
# sizes known only at run time; a glibc or compiler without that falls back to level 2 of
# its own accord. Sanitizer and fuzzer builds leave it out: the fortified variants (e.g.
# __memcpy_chk) go around the sanitizers' interceptors, so their accesses would no longer
# be checked by the tool that checks them best. A packager who sets _FORTIFY_SOURCE
# (or unsets it) keeps that choice, and the compiler no redefinition warning.
get_property(tavelinMultiConfig GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
if(tavelinMultiConfig)
    set(tavelinConfigurations ${CMAKE_CONFIGURATION_TYPES})
else()
    set(tavelinConfigurations ${CMAKE_BUILD_TYPE})
endif()
set(tavelinFortifiedConfigurations "")
foreach(configuration IN LISTS tavelinConfigurations)
    string(TOUPPER "${configuration}" upper)
    tavelin_flags_optimise("${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${upper}}" optimising)
    if(optimising)
        list(APPEND tavelinFortifiedConfigurations ${configuration})
    endif()
endforeach()
list(JOIN tavelinFortifiedConfigurations "," tavelinFortifiedConfigurations)
if(NOT TAVELIN_SANITIZE AND NOT TAVELIN_FUZZ AND tavelinFortifiedConfigurations
    AND NOT "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "_FORTIFY_SOURCE")
    add_compile_definitions($<$<CONFIG:${tavelinFortifiedConfigurations}>:_FORTIFY_SOURCE=3>)
endif()
