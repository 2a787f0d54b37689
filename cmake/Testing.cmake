# GoogleTest through CTest. Every module registers its tests with tavelin_add_test.
find_package(GTest REQUIRED)
include(GoogleTest)
enable_testing()

# tavelin_add_test(<name> [SERIAL] SOURCES <files...> LIBS <targets...>)
# SERIAL: its tests run alone, never beside another (they load the whole machine).
# With BUILD_TESTING off the test is still defined (so settings made on it afterwards
# stay valid) but neither built by default nor registered.
function(tavelin_add_test name)
    cmake_parse_arguments(ARG "SERIAL" "" "SOURCES;LIBS" ${ARGN})
    if(NOT BUILD_TESTING)
        add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main tavelin_warnings)
    set(serial FALSE)
    if(ARG_SERIAL)
        set(serial TRUE)
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600 RUN_SERIAL ${serial})
endfunction()
