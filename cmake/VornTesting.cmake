# vorn_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
#
# One GoogleTest program per call, registered with ctest test by test so that a
# failure names the test that failed.

find_package(GTest REQUIRED)
include(GoogleTest)

function(vorn_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 120)
endfunction()
