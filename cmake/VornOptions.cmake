# Warning and sanitizer flags for everything this project compiles.

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    add_compile_options(-Wall -Wextra -Wpedantic)
    if(VORN_WERROR)
        add_compile_options(-Werror)
    endif()
endif()

if(VORN_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(VORN_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT VORN_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VORN_SANITIZE must be empty, 'address' or 'thread', not '${VORN_SANITIZE}'")
endif()

# A sanitized build exists to run the tests once: -O1 keeps the reports'
# stacks whole and line tables are all they print, and both build far faster
# than -O2 with full debug information. Fuzzers keep the build type's flags,
# since they run for as long as they are given.
if(VORN_SANITIZE AND NOT VORN_FUZZ)
    add_compile_options(-O1 -g1)
endif()
