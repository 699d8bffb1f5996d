# vorn_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
#
# One GoogleTest program per call, registered with ctest test by test so that a
# failure names the test that failed. Every test links the shared helpers of
# tests/support.

find_package(GTest REQUIRED)
include(GoogleTest)

# GoogleTest's headers cost more to parse than most test files themselves;
# every test program reuses one precompiled copy of them instead. That needs
# the same compiler flags everywhere (CMake makes a mismatch an error under
# -Werror); definitions that the headers never read may differ.
file(WRITE ${CMAKE_BINARY_DIR}/vorn_test_pch.cpp "")
add_library(vorn_test_pch OBJECT ${CMAKE_BINARY_DIR}/vorn_test_pch.cpp)
target_link_libraries(vorn_test_pch PRIVATE GTest::gtest GTest::gmock)
target_precompile_headers(vorn_test_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h>)

# The programs under test keep their session logs here, never in the home of
# whoever runs the tests.
set(vorn_test_state ${CMAKE_BINARY_DIR}/test-state)

function(vorn_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} vorn::test_support GTest::gtest GTest::gmock GTest::gtest_main)
    target_precompile_headers(${name} REUSE_FROM vorn_test_pch)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 120 ENVIRONMENT "XDG_STATE_HOME=${vorn_test_state}")
endfunction()

# vorn_add_qt_test(<name> SOURCES <files...> LIBS <targets...>)
#
# One QtTest program (QTEST_MAIN) per call, run by ctest as a whole on Qt's
# offscreen platform, so that it needs no display.
function(vorn_add_qt_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} vorn::test_support Qt6::Test)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_STATE_HOME=${vorn_test_state}"
        LABELS app
        TIMEOUT 120)
endfunction()
