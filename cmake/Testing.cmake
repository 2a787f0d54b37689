# GoogleTest through CTest. Every module registers its tests with tavelin_add_test.
find_package(GTest REQUIRED)
include(GoogleTest)
enable_testing()

# tavelin_add_test(<name> SOURCES <files...> LIBS <targets...>)
function(tavelin_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main tavelin_warnings)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()
